// Constants that MinGW-w64's headers lack, with the Windows names and values: the Native Wi-Fi
// version and flag constants and the all-sources notification mask. (The MSM, 802.1X and
// hosted-network records that MinGW also lacks are declared for both builds in win32.h.) Also
// brings in the I/O-control code macros, which the lean <windows.h> leaves out.
#pragma once

#include <winioctl.h>

#ifndef L2_NOTIFICATION_SOURCE_ALL
#define L2_NOTIFICATION_SOURCE_ALL 0x0000FFFF
#endif

#ifndef WLAN_API_VERSION_1_0
#define WLAN_API_VERSION_1_0 0x00000001u
#endif
#ifndef WLAN_API_VERSION_2_0
#define WLAN_API_VERSION_2_0 0x00000002u
#endif
#ifndef WLAN_UI_API_VERSION
#define WLAN_UI_API_VERSION 1u
#endif

#ifndef WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_ADHOC_PROFILES
#define WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_ADHOC_PROFILES 0x00000001u
#endif
#ifndef WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_MANUAL_HIDDEN_PROFILES
#define WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_MANUAL_HIDDEN_PROFILES 0x00000002u
#endif

// MinGW's WL_DISPLAY_PAGES stops at WLSecurityPage.
#ifndef WLAdvPage
#define WLAdvPage ((WL_DISPLAY_PAGES)2)
#endif
