// brenvik: switches the wireless LAN device and the wireless switch on or off in the firmware
// setup, refusing while a supervisor or user password is set.
#pragma once

#include <cstdint>
#include <vector>

#include "common/settings/misc_func_wrapper.h"
#include "common/settings/setting_items.h"

namespace brenvik {

// Exit statuses.
constexpr int32_t EXIT_OK = 0;
constexpr int32_t EXIT_FAILED = -1;       // open, password read or write failed; no memory
constexpr int32_t EXIT_NO_DRIVER = -2;    // driver absent, or authentication failed
constexpr int32_t EXIT_BAD_COMMAND = -3;  // command line rejected; the driver was not opened
constexpr int32_t EXIT_PASSWORD_SET = -4; // a firmware password is set; nothing was changed

// One or two options "/wl:" or "/ws:" followed by exactly "ENABLE", "DISABLE" or "NONE",
// case-sensitive. Appends one CSetInfo per option, in order. 0, EXIT_BAD_COMMAND or EXIT_FAILED.
int32_t ParseCommandLine(int argc, wchar_t** argv, std::vector<CSetInfo>& options);

// 0 when neither password is set, EXIT_PASSWORD_SET when one is, EXIT_FAILED when the state
// could not be read.
int32_t CheckPasswords(CMiscFuncWrapper& wrapper);

// Checks the passwords, then applies the options in order, stopping at the first failed write
// (the writes before it stay). 0, EXIT_FAILED or EXIT_PASSWORD_SET.
int32_t ApplySettings(CMiscFuncWrapper& wrapper, const std::vector<CSetInfo>& options);

// The whole run: parse, open, guard, apply, close, print the verdict. Returns the exit status.
int32_t Run(int argc, wchar_t** argv);

} // namespace brenvik
