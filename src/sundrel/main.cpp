// sundrel: scans one wireless interface and lists the networks the service then offers.
//
// Usage: sundrel {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
// Exit codes: 0 networks listed, 1 no network to list, -1 the scan or the reading failed,
// -2 bad command line (nothing printed).
#include "platform/win32.h"
#include "sundrel/sundrel_scan.h"

int wmain(int argc, wchar_t** argv) {
    IID interfaceGuid{};
    if (!ParseInterfaceArgument(argc, argv, interfaceGuid)) {
        return kExitBadArguments;
    }
    return RunScan(interfaceGuid);
}
