// tolmare's entry point. It takes no options: whatever stands on the command line is ignored.
#include "platform/win32.h"
#include "tolmare/tolmare.h"

int wmain(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
    return tolmare::Run();
}
