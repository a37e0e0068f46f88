// Fuzz target: the machine-file reader and the firmware write-back. Text the reader accepts is
// written to a machine file of this process's scratch folder, locked as the device locks it,
// and given a firmware change through the write-back; the file must then read back as the
// same machine with exactly that change, both through the reader and through ReadFirmware.
// Text the reader refuses must come with a message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "simbook/driver/store.h"
#include "simbook/machine.h"
#include "support/scratch.h"

namespace {

void Check(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) {
        std::fprintf(stderr, "machine file fuzz: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

// One folder for the whole process, removed when it ends.
const nwt::test::ScratchDir& Scratch() {
    static const nwt::test::ScratchDir scratch("nwt-fuzz-machine");
    return scratch;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    const std::optional<simbook::Machine> machine = simbook::ParseMachine(text, problem);
    if (!machine) {
        Check(!problem.empty(), "a refused machine file without a message");
        return 0;
    }

    const std::string path = Scratch().Path("machine.json");
    nwt::test::WriteFile(path, text);
    simbook::Machine expected = *machine;
    expected.firmware.wlanFlags = static_cast<uint16_t>(machine->firmware.wlanFlags ^ 1u);
    {
        simbook::MachineLock lock;
        simbook::Dword error = 0;
        Check(lock.Acquire(path, true, error), "the lock on a fresh file failed");
        Check(lock.WriteBack(expected.firmware), "the write-back of a readable file failed");
    }
    const std::string written = nwt::test::ReadFile(path);
    const std::optional<simbook::Machine> reread = simbook::ParseMachine(written, problem);
    Check(reread.has_value(), "the written file does not read:", problem + "\n" + written);
    Check(*reread == expected, "the written file reads as another machine:", written);
    simbook::Machine::Firmware firmware;
    Check(simbook::ReadFirmware(path, firmware) && firmware == expected.firmware,
          "ReadFirmware disagrees with the reader");
    return 0;
}
