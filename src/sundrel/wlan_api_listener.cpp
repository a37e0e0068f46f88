// CWlanApiSmartWrapperListener: the two-level dispatch of a notification record, by source and
// then by code, to the listener's handlers, and the handlers' empty default bodies.
#include "sundrel/wlan_api_listener.h"

void CWlanApiSmartWrapperListener::OnNotification(PWLAN_NOTIFICATION_DATA pData) {
    if (pData == nullptr) {
        return;
    }
    switch (pData->NotificationSource) {
    case WLAN_NOTIFICATION_SOURCE_NONE:
        OnSourceNone(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_ONEX:
        OnSourceOnex(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_ACM:
        OnSourceAcm(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_MSM:
        OnSourceMsm(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_SECURITY:
        OnSourceSecurity(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_IHV:
        OnSourceIhv(pData);
        break;
    case WLAN_NOTIFICATION_SOURCE_HNWK:
        OnSourceHnwk(pData);
        break;
    case kWlanNotificationSourceAll:
        OnSourceAll(pData);
        break;
    default:
        // Combinations of source bits and unknown sources name no single handler.
        break;
    }
}

void CWlanApiSmartWrapperListener::OnSourceAcm(PWLAN_NOTIFICATION_DATA pData) {
    const GUID& guid = pData->InterfaceGuid;
    PVOID payload = pData->pData;
    switch (pData->NotificationCode) {
    case wlan_notification_acm_autoconf_enabled:
        OnAcmAutoconfEnabled(guid);
        break;
    case wlan_notification_acm_autoconf_disabled:
        OnAcmAutoconfDisabled(guid);
        break;
    case wlan_notification_acm_background_scan_enabled:
        OnAcmBackgroundScanEnabled(guid);
        break;
    case wlan_notification_acm_background_scan_disabled:
        OnAcmBackgroundScanDisabled(guid);
        break;
    case wlan_notification_acm_bss_type_change:
        OnAcmBssTypeChange(guid, payload);
        break;
    case wlan_notification_acm_power_setting_change:
        OnAcmPowerSettingChange(guid, payload);
        break;
    case wlan_notification_acm_scan_complete:
        OnAcmScanComplete(guid);
        break;
    case wlan_notification_acm_scan_fail:
        OnAcmScanFail(guid, payload);
        break;
    case wlan_notification_acm_connection_start:
        OnAcmConnectionStart(guid, payload);
        break;
    case wlan_notification_acm_connection_complete:
        OnAcmConnectionComplete(guid, payload);
        break;
    case wlan_notification_acm_connection_attempt_fail:
        OnAcmConnectionAttemptFail(guid, payload);
        break;
    case wlan_notification_acm_filter_list_change:
        OnAcmFilterListChange(guid);
        break;
    case wlan_notification_acm_interface_arrival:
        OnAcmInterfaceArrival(guid);
        break;
    case wlan_notification_acm_interface_removal:
        OnAcmInterfaceRemoval(guid);
        break;
    case wlan_notification_acm_profile_change:
        OnAcmProfileChange(guid);
        break;
    case wlan_notification_acm_profile_name_change:
        OnAcmProfileNameChange(guid, payload);
        break;
    case wlan_notification_acm_profiles_exhausted:
        OnAcmProfilesExhausted(guid);
        break;
    case wlan_notification_acm_network_not_available:
        OnAcmNetworkNotAvailable(guid);
        break;
    case wlan_notification_acm_network_available:
        OnAcmNetworkAvailable(guid);
        break;
    case wlan_notification_acm_disconnecting:
        OnAcmDisconnecting(guid, payload);
        break;
    case wlan_notification_acm_disconnected:
        OnAcmDisconnected(guid, payload);
        break;
    case wlan_notification_acm_adhoc_network_state_change:
        OnAcmAdhocNetworkStateChange(guid, payload);
        break;
    default:
        break;
    }
}

void CWlanApiSmartWrapperListener::OnSourceMsm(PWLAN_NOTIFICATION_DATA pData) {
    const GUID& guid = pData->InterfaceGuid;
    PVOID payload = pData->pData;
    switch (pData->NotificationCode) {
    case wlan_notification_msm_associating:
        OnMsmAssociating(guid, payload);
        break;
    case wlan_notification_msm_associated:
        OnMsmAssociated(guid, payload);
        break;
    case wlan_notification_msm_authenticating:
        OnMsmAuthenticating(guid, payload);
        break;
    case wlan_notification_msm_connected:
        OnMsmConnected(guid, payload);
        break;
    case wlan_notification_msm_roaming_start:
        OnMsmRoamingStart(guid, payload);
        break;
    case wlan_notification_msm_roaming_end:
        OnMsmRoamingEnd(guid, payload);
        break;
    case wlan_notification_msm_radio_state_change:
        OnMsmRadioStateChange(guid, payload);
        break;
    case wlan_notification_msm_signal_quality_change:
        OnMsmSignalQualityChange(guid, payload);
        break;
    case wlan_notification_msm_disassociating:
        OnMsmDisassociating(guid, payload);
        break;
    case wlan_notification_msm_disconnected:
        OnMsmDisconnected(guid, payload);
        break;
    case wlan_notification_msm_peer_join:
        OnMsmPeerJoin(guid, payload);
        break;
    case wlan_notification_msm_peer_leave:
        OnMsmPeerLeave(guid, payload);
        break;
    case wlan_notification_msm_adapter_removal:
        OnMsmAdapterRemoval(guid, payload);
        break;
    case wlan_notification_msm_adapter_operation_mode_change:
        OnMsmAdapterOperationModeChange(guid, payload);
        break;
    default:
        break;
    }
}

void CWlanApiSmartWrapperListener::OnSourceOnex(PWLAN_NOTIFICATION_DATA pData) {
    switch (pData->NotificationCode) {
    case OneXNotificationTypeResultUpdate:
        OnOnexResultUpdate(pData->InterfaceGuid, pData->pData);
        break;
    case OneXNotificationTypeAuthRestarted:
        OnOnexAuthRestarted(pData->InterfaceGuid, pData->pData);
        break;
    default:
        break;
    }
}

void CWlanApiSmartWrapperListener::OnSourceHnwk(PWLAN_NOTIFICATION_DATA pData) {
    switch (pData->NotificationCode) {
    case wlan_hosted_network_state_change:
    // A radio-state change is a change of the hosted network's state as far as listeners go.
    case wlan_hosted_network_radio_state_change:
        OnHnwkStateChange(pData->InterfaceGuid, pData->pData);
        break;
    case wlan_hosted_network_peer_state_change:
        OnHnwkPeerStateChange(pData->InterfaceGuid, pData->pData);
        break;
    default:
        break;
    }
}

// Handlers without a default action.
void CWlanApiSmartWrapperListener::OnSourceNone(PWLAN_NOTIFICATION_DATA) {}
void CWlanApiSmartWrapperListener::OnSourceAll(PWLAN_NOTIFICATION_DATA) {}
void CWlanApiSmartWrapperListener::OnSourceIhv(PWLAN_NOTIFICATION_DATA) {}
void CWlanApiSmartWrapperListener::OnSourceSecurity(PWLAN_NOTIFICATION_DATA) {}

void CWlanApiSmartWrapperListener::OnOnexResultUpdate(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnOnexAuthRestarted(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnHnwkPeerStateChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnHnwkReserved(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnHnwkStateChange(const GUID&, PVOID) {}

void CWlanApiSmartWrapperListener::OnAcmAutoconfEnabled(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmAutoconfDisabled(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmBackgroundScanEnabled(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmBackgroundScanDisabled(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmBssTypeChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmPowerSettingChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmScanComplete(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmScanFail(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmConnectionStart(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmConnectionComplete(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmConnectionAttemptFail(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmFilterListChange(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmInterfaceArrival(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmInterfaceRemoval(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmProfileChange(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmProfileNameChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmProfilesExhausted(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmNetworkNotAvailable(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmNetworkAvailable(const GUID&) {}
void CWlanApiSmartWrapperListener::OnAcmDisconnecting(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmDisconnected(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnAcmAdhocNetworkStateChange(const GUID&, PVOID) {}

void CWlanApiSmartWrapperListener::OnMsmAssociating(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmAssociated(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmAuthenticating(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmConnected(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmRoamingStart(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmRoamingEnd(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmRadioStateChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmSignalQualityChange(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmDisassociating(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmDisconnected(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmPeerJoin(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmPeerLeave(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmAdapterRemoval(const GUID&, PVOID) {}
void CWlanApiSmartWrapperListener::OnMsmAdapterOperationModeChange(const GUID&, PVOID) {}
