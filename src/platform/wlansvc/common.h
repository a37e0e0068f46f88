// Helpers shared by the two service libraries' Win32 surface over the service model
// (simbook/wlan): GUIDs between the Win32 record and the model's, interface lookup by a caller's
// GUID pointer, and the trace lines every entry point writes.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "simbook/machine.h"
#include "simbook/wlan/networks.h"

namespace wlansvc {

using simbook::Guid;
using simbook::Machine;
using simbook::WlanInterface;

// The model's notification values are the Win32 ones.
static_assert(simbook::wlan::kSourceAcm == WLAN_NOTIFICATION_SOURCE_ACM);
static_assert(simbook::wlan::kCodeScanComplete == wlan_notification_acm_scan_complete);
static_assert(simbook::wlan::kCodeScanFail == wlan_notification_acm_scan_fail);

// Reason code carried by a scan-fail notification and by refusals that need one.
constexpr WLAN_REASON_CODE kReasonUnknown = simbook::wlan::kReasonUnknown;

// Lower-case braced registry form, "{c799c725-24b9-464b-b6c7-5e300dce17d6}".
std::string GuidText(const GUID& guid);

// A machine file's GUID as the Win32 record and back (the two have the same layout).
GUID ToGuid(const Guid& guid);
Guid FromGuid(const GUID& guid);

// The machine's interface with this GUID, or null (also for a null GUID pointer or no machine).
const WlanInterface* FindInterface(const Machine* machine, const GUID* guid);

// Writes one trace line: `op`, then the given fields in order, then "result" when there is one.
void TraceCall(const char* op, nlohmann::ordered_json fields, std::optional<DWORD> result);

// "interface" field value: the GUID text, or null when no GUID was given.
nlohmann::ordered_json GuidField(const GUID* guid);

#ifdef _WIN32
// The library's DllMain under Wine, where the system loader loads it: on attach, a machine whose
// `enabled` flag is false (or that cannot be read) refuses the load, so LoadLibraryW fails as for
// a missing library; loads and unloads are traced as the Linux stand-in traces them.
BOOL LoaderEvent(DWORD reason, LPVOID reserved, const char* file, bool Machine::Wlan::*enabled);
#endif

} // namespace wlansvc
