// What the Setup API, the registry and CreateFileW of the stand-in share: the driver's device
// interface class and the device paths its interfaces publish.
#pragma once

#include <string>

#include "platform/win32.h"

namespace platform {

// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}
extern const GUID kDriverInterfaceClass;
// {4d36e97d-e325-11ce-bfc1-08002be10318}, the system-device setup class.
extern const GUID kSystemSetupClass;

// The device path of the driver's interface number `index` (0-based).
std::wstring DriverDevicePath(int index);

bool SameGuid(const GUID& a, const GUID& b);

} // namespace platform
