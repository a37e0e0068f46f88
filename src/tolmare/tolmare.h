// tolmare: reads the five setting items and reports them as lines and as an exit-status bit
// mask, so that a calling procedure can test them without parsing text.
#pragma once

#include <cstdint>
#include <vector>

#include "common/settings/setting_items.h"

namespace tolmare {

constexpr int32_t EXIT_FAILED = -1;    // open failed, or one of the reads failed
constexpr int32_t EXIT_NO_DRIVER = -2; // driver absent, or authentication failed

// Exit-status bits of the items that read 1.
constexpr int32_t BIT_WLAN = 0x00010000;
constexpr int32_t BIT_WIRELESS_SWITCH = 0x00100000;
constexpr int32_t BIT_WIRELESS_SWITCH_DISPLAY = 0x00200000;
constexpr int32_t BIT_SUPERVISOR_PASSWORD = 0x01000000;
constexpr int32_t BIT_USER_PASSWORD = 0x02000000;

// Prints the success verdict and one "name[ENABLE]" / "name[DISABLE]" line per known item of
// the list, in list order; returns the OR of the bits of the items that read 1.
int32_t PrintReport(const std::vector<CGetInfo>& readings);

// The whole run: open, read every item, close, print. Returns the exit status.
int32_t Run();

} // namespace tolmare
