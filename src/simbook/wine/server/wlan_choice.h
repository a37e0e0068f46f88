// Which Wi-Fi service libraries the current machine lets a program load, for the device server
// to have Wine refuse the others. Plain C++ types only: the Winelib part of the server includes
// it next to Wine's headers, and it is implemented over simbook's machine in an ordinary Linux
// translation unit.
#pragma once

namespace simbook_wine {

struct HiddenLibraries {
    bool wlanapi = false; // "wlan.library": false
    bool wlanui = false;  // "wlan.ui_library": false
};

// The libraries the machine hides; none when the machine could not be read.
HiddenLibraries HiddenWlanLibraries();

} // namespace simbook_wine
