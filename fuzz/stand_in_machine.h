// The machine the Win32 stand-in reads in a fuzz target: written once per process into a
// scratch folder of its own (removed when the process ends), with no trace.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "simbook/machine.h"
#include "support/scratch.h"

namespace fuzz_support {

// Points the stand-in at a machine of `text`, once per process; later calls change nothing.
inline void UseStandInMachine(const std::string& text) {
    static const nwt::test::ScratchDir scratch("nwt-fuzz-stand-in");
    static const bool ready = [&text] {
        const std::string path = scratch.Path("machine.json");
        std::ofstream(path, std::ios::binary) << text;
        setenv("SIMBOOK", path.c_str(), 1);
        unsetenv("SIMBOOK_TRACE");
        simbook::ReloadMachineForTests();
        return simbook::CurrentMachine() != nullptr;
    }();
    if (!ready) {
        std::abort();
    }
}

} // namespace fuzz_support
