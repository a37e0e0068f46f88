// Which Wi-Fi service libraries the current machine lets a program load, for the device server
// to hand to the runner. Plain C++ types only: the Winelib part of the server includes it next
// to Wine's headers, and it is implemented over simbook's machine in an ordinary Linux
// translation unit.
#pragma once

#include <string>

namespace simbook_wine {

// The WINEDLLOVERRIDES entries that make the hidden libraries fail to load ("wlanapi=d",
// "wlanui=d", joined with ','), empty when both may load or the machine could not be read.
std::string HiddenWlanLibraries();

} // namespace simbook_wine
