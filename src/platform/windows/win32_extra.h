// Declarations that MinGW-w64's headers lack, with the Windows names, values and layouts: the
// Native Wi-Fi version and flag constants, the all-sources notification mask, the MSM, 802.1X
// and hosted-network notification codes, the hosted-network status record and its entry point
// (declared only to name its type: the programs bind it at run time, never link it). Also brings
// in the I/O-control code macros, which the lean <windows.h> leaves out.
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

typedef enum _WLAN_NOTIFICATION_MSM {
    wlan_notification_msm_start = 0,
    wlan_notification_msm_associating,
    wlan_notification_msm_associated,
    wlan_notification_msm_authenticating,
    wlan_notification_msm_connected,
    wlan_notification_msm_roaming_start,
    wlan_notification_msm_roaming_end,
    wlan_notification_msm_radio_state_change,
    wlan_notification_msm_signal_quality_change,
    wlan_notification_msm_disassociating,
    wlan_notification_msm_disconnected,
    wlan_notification_msm_peer_join,
    wlan_notification_msm_peer_leave,
    wlan_notification_msm_adapter_removal,
    wlan_notification_msm_adapter_operation_mode_change,
    wlan_notification_msm_end
} WLAN_NOTIFICATION_MSM, *PWLAN_NOTIFICATION_MSM;

typedef enum _ONEX_NOTIFICATION_TYPE {
    OneXPublicNotificationBase = 0,
    OneXNotificationTypeResultUpdate,
    OneXNotificationTypeAuthRestarted,
    OneXNotificationTypeEventInvalid,
    OneXNumNotifications = OneXNotificationTypeEventInvalid
} ONEX_NOTIFICATION_TYPE, *PONEX_NOTIFICATION_TYPE;

typedef enum _WLAN_HOSTED_NETWORK_NOTIFICATION_CODE {
    wlan_hosted_network_state_change = 0x00001000,
    wlan_hosted_network_peer_state_change,
    wlan_hosted_network_radio_state_change
} WLAN_HOSTED_NETWORK_NOTIFICATION_CODE, *PWLAN_HOSTED_NETWORK_NOTIFICATION_CODE;

typedef enum _WLAN_HOSTED_NETWORK_STATE {
    wlan_hosted_network_unavailable,
    wlan_hosted_network_idle,
    wlan_hosted_network_active
} WLAN_HOSTED_NETWORK_STATE, *PWLAN_HOSTED_NETWORK_STATE;

typedef enum _WLAN_HOSTED_NETWORK_PEER_AUTH_STATE {
    wlan_hosted_network_peer_state_invalid,
    wlan_hosted_network_peer_state_authenticated
} WLAN_HOSTED_NETWORK_PEER_AUTH_STATE, *PWLAN_HOSTED_NETWORK_PEER_AUTH_STATE;

typedef struct _WLAN_HOSTED_NETWORK_PEER_STATE {
    DOT11_MAC_ADDRESS PeerMacAddress;
    WLAN_HOSTED_NETWORK_PEER_AUTH_STATE PeerAuthState;
} WLAN_HOSTED_NETWORK_PEER_STATE, *PWLAN_HOSTED_NETWORK_PEER_STATE;

typedef struct _WLAN_HOSTED_NETWORK_STATUS {
    WLAN_HOSTED_NETWORK_STATE HostedNetworkState;
    GUID IPDeviceID;
    DOT11_MAC_ADDRESS wlanHostedNetworkBSSID;
    DOT11_PHY_TYPE dot11PhyType;
    ULONG ulChannelFrequency;
    DWORD dwNumberOfPeers;
    WLAN_HOSTED_NETWORK_PEER_STATE PeerList[1];
} WLAN_HOSTED_NETWORK_STATUS, *PWLAN_HOSTED_NETWORK_STATUS;

extern "C" DWORD WINAPI WlanHostedNetworkQueryStatus(
    HANDLE hClientHandle, PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus,
    PVOID pvReserved);

// MinGW's WL_DISPLAY_PAGES stops at WLSecurityPage.
#ifndef WLAdvPage
#define WLAdvPage ((WL_DISPLAY_PAGES)2)
#endif
