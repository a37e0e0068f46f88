// Fuzz target: the channel and the setting layer above it, against a driver the fuzzer plays
// (fuzz_driver.h). A run opens the wrapper (discovery, version gate, probe, handshake), then
// makes the calls the two setting tools make: the password guard, the three reads and the two
// writes, and closes; runs over a valid session share one opened wrapper. Every answer the
// setting layer accepts must be a state it can report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/settings/misc_func_wrapper.h"
#include "fuzz_driver.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "channel fuzz: %s\n", what);
        std::abort();
    }
}

// A read either appends exactly `count` items, each a reportable state of one of `items`, or
// leaves the list alone.
void CheckRead(int32_t result, const std::vector<CGetInfo>& list, size_t before, size_t count) {
    if (result != WRAPPER_OK) {
        Check(list.size() == before, "a failed read changed the list");
        return;
    }
    Check(list.size() == before + count, "a read appended the wrong number of items");
    for (size_t i = before; i < list.size(); ++i) {
        Check(list[i]._nValue == VALUE_DISABLE || list[i]._nValue == VALUE_ENABLE,
              "a read reported a value other than ENABLE or DISABLE");
    }
}

// The calls the two setting tools make, on an open or closed wrapper.
void Calls(CMiscFuncWrapper& wrapper) {
    std::vector<CGetInfo> list;
    size_t before = list.size();
    CheckRead(wrapper.GetPasswords(list), list, before, 2);
    before = list.size();
    CheckRead(wrapper.GetWlan(list), list, before, 1);
    before = list.size();
    CheckRead(wrapper.GetWirelessSwitch(list), list, before, 2);
    const int32_t wlan = wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_ENABLE));
    const int32_t ws = wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_DISABLE));
    Check((wlan == WRAPPER_OK || wlan == WRAPPER_FAILED) &&
              (ws == WRAPPER_OK || ws == WRAPPER_FAILED),
          "a write returned an unknown code");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The handshake costs the channel two modular exponentiations: runs over a valid session
    // share one wrapper, opened by the first of them on a device handle of its own and kept for
    // the life of the process (the clock is pinned, so it is the same session whichever run
    // opens it).
    static CMiscFuncWrapper* shared = nullptr;
    if (fuzz_driver::Begin(data, size)) {
        if (shared == nullptr) {
            shared = new CMiscFuncWrapper;
            fuzz_driver::OpeningSharedSession();
            Check(shared->Open() == WRAPPER_OK, "a valid session did not open");
        }
        Calls(*shared);
        return 0;
    }
    {
        CMiscFuncWrapper wrapper;
        const int32_t opened = wrapper.Open();
        Check(opened == WRAPPER_OK || opened == WRAPPER_FAILED || opened == WRAPPER_NO_DRIVER,
              "Open returned an unknown code");
        Check((opened == WRAPPER_OK) == wrapper.IsOpened(), "Open and IsOpened disagree");
        Calls(wrapper);
        wrapper.Close();
    }
    fuzz_driver::End();
    return 0;
}
