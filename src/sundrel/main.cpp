// sundrel: scans one wireless interface and lists the networks the service then offers.
//
// Usage: sundrel {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
// Exit codes: 0 networks listed, 1 no network to list, -1 the scan or the reading failed,
// -2 bad command line (nothing printed).
#include <cstring>

#include "platform/win32.h"
#include "sundrel/sundrel_scan.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr) {
        return kExitBadArguments;
    }
    const wchar_t* argument = argv[1];
    if (argument[0] == L'\0') {
        return kExitBadArguments;
    }
    // Text that does not parse is refused even if the parser wrote part of a GUID before it
    // gave up: only a complete, non-null interface GUID starts a scan.
    IID interfaceGuid{};
    if (FAILED(::IIDFromString(argument, &interfaceGuid))) {
        return kExitBadArguments;
    }
    static const GUID kNullGuid{};
    if (std::memcmp(&interfaceGuid, &kNullGuid, sizeof(GUID)) == 0) {
        return kExitBadArguments;
    }
    return RunScan(interfaceGuid);
}
