// The entry points of the Wi-Fi service's two libraries, in the order a program binds them:
// every "WlanApi.dll" entry (save-temporary last among them), then the one of "WlanUi.dll".
// This list is the one place their names are written: the binding table of the programs, the
// stand-in's library loader and the export lists of the simulated service libraries (read by
// the build from this file) all come from it.
#pragma once

#define NWT_WLANAPI_ENTRIES(X)                                                                     \
    X(WlanOpenHandle)                                                                              \
    X(WlanCloseHandle)                                                                             \
    X(WlanFreeMemory)                                                                              \
    X(WlanEnumInterfaces)                                                                          \
    X(WlanConnect)                                                                                 \
    X(WlanDisconnect)                                                                              \
    X(WlanGetAvailableNetworkList)                                                                 \
    X(WlanGetNetworkBssList)                                                                       \
    X(WlanQueryInterface)                                                                          \
    X(WlanSetInterface)                                                                            \
    X(WlanScan)                                                                                    \
    X(WlanGetProfile)                                                                              \
    X(WlanGetProfileList)                                                                          \
    X(WlanSetProfile)                                                                              \
    X(WlanDeleteProfile)                                                                           \
    X(WlanRegisterNotification)                                                                    \
    X(WlanHostedNetworkQueryStatus)                                                                \
    X(WlanGetInterfaceCapability)                                                                  \
    X(WlanSaveTemporaryProfile)

#define NWT_WLANUI_ENTRIES(X) X(WlanUIEditProfile)
