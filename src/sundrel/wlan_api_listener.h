// The notification listener family of the smart wrapper.
//
// IWlanApiSmartWrapperListener is what the smart wrapper hands every notification record to.
// CWlanApiSmartWrapperListener implements it as a two-level dispatcher: by notification source,
// then, for the 802.1X, auto-configuration, media-specific and hosted-network sources, by
// notification code. Every handler does nothing here; a concrete listener overrides the events
// it cares about. All handlers run on the wireless service's notification thread.
#pragma once

#include "platform/win32.h"

// The "all sources" notification source, which not every SDK header names.
constexpr DWORD kWlanNotificationSourceAll = 0x0000FFFF;

class IWlanApiSmartWrapperListener {
public:
    virtual ~IWlanApiSmartWrapperListener() = default;
    virtual void OnNotification(PWLAN_NOTIFICATION_DATA pData) = 0;
};

class CWlanApiSmartWrapperListener : public IWlanApiSmartWrapperListener {
public:
    // Dispatches by the record's NotificationSource (exact value; a null record is dropped).
    void OnNotification(PWLAN_NOTIFICATION_DATA pData) override;

    virtual void OnSourceNone(PWLAN_NOTIFICATION_DATA pData);
    virtual void OnSourceAll(PWLAN_NOTIFICATION_DATA pData);
    virtual void OnSourceAcm(PWLAN_NOTIFICATION_DATA pData);  // dispatches by code
    virtual void OnSourceHnwk(PWLAN_NOTIFICATION_DATA pData); // dispatches by code
    virtual void OnSourceIhv(PWLAN_NOTIFICATION_DATA pData);
    virtual void OnSourceOnex(PWLAN_NOTIFICATION_DATA pData); // dispatches by code
    virtual void OnSourceMsm(PWLAN_NOTIFICATION_DATA pData);  // dispatches by code
    virtual void OnSourceSecurity(PWLAN_NOTIFICATION_DATA pData);

    virtual void OnOnexResultUpdate(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnOnexAuthRestarted(const GUID& interfaceGuid, PVOID pPayload);

    virtual void OnHnwkPeerStateChange(const GUID& interfaceGuid, PVOID pPayload);
    // Kept for a handler of its own for hosted-network radio-state changes; nothing reaches it:
    // those changes go to OnHnwkStateChange.
    virtual void OnHnwkReserved(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnHnwkStateChange(const GUID& interfaceGuid, PVOID pPayload);

    // Auto-configuration codes 1 to 22, in code order.
    virtual void OnAcmAutoconfEnabled(const GUID& interfaceGuid);
    virtual void OnAcmAutoconfDisabled(const GUID& interfaceGuid);
    virtual void OnAcmBackgroundScanEnabled(const GUID& interfaceGuid);
    virtual void OnAcmBackgroundScanDisabled(const GUID& interfaceGuid);
    virtual void OnAcmBssTypeChange(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmPowerSettingChange(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmScanComplete(const GUID& interfaceGuid);
    virtual void OnAcmScanFail(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmConnectionStart(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmConnectionComplete(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmConnectionAttemptFail(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmFilterListChange(const GUID& interfaceGuid);
    virtual void OnAcmInterfaceArrival(const GUID& interfaceGuid);
    virtual void OnAcmInterfaceRemoval(const GUID& interfaceGuid);
    virtual void OnAcmProfileChange(const GUID& interfaceGuid);
    virtual void OnAcmProfileNameChange(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmProfilesExhausted(const GUID& interfaceGuid);
    virtual void OnAcmNetworkNotAvailable(const GUID& interfaceGuid);
    virtual void OnAcmNetworkAvailable(const GUID& interfaceGuid);
    virtual void OnAcmDisconnecting(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmDisconnected(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnAcmAdhocNetworkStateChange(const GUID& interfaceGuid, PVOID pPayload);

    // Media-specific module codes 1 to 14, in code order.
    virtual void OnMsmAssociating(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmAssociated(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmAuthenticating(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmConnected(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmRoamingStart(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmRoamingEnd(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmRadioStateChange(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmSignalQualityChange(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmDisassociating(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmDisconnected(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmPeerJoin(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmPeerLeave(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmAdapterRemoval(const GUID& interfaceGuid, PVOID pPayload);
    virtual void OnMsmAdapterOperationModeChange(const GUID& interfaceGuid, PVOID pPayload);
};
