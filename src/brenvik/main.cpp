// brenvik's entry point.
#include "brenvik/brenvik.h"
#include "platform/win32.h"

int wmain(int argc, wchar_t** argv) {
    return brenvik::Run(argc, argv);
}
