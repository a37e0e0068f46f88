// Runs one of the built programs as a child process against a machine file, the way a service
// procedure would, and collects what it left behind: standard output and error as bytes, the
// raw process status, the trace lines and the machine file afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/protocol.h"

namespace e2e {

// A scratch folder that holds the machine file, the trace and the captured output of a test;
// removed with everything in it when the test ends.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& Dir() const { return _dir; }
    std::string Path(const std::string& name) const { return _dir + "/" + name; }

private:
    std::string _dir;
};

struct RunResult {
    int rawExitCode = -1; // the low 8 bits a Linux parent sees; -1 when killed by a signal
    std::string out;      // standard output, byte for byte
    std::string err;      // standard error
    std::vector<nlohmann::json> trace;
    std::optional<int32_t> exitStatus; // the full status from the trace's exit line
};

// Lays `overrides` over `base`, object by object; a null in `overrides` is kept as a value.
void Overlay(nlohmann::json& base, const nlohmann::json& overrides);

// The default machine of these tests: the built-in defaults with the clock pinned, so runs are
// reproducible, with `overrides` laid over it.
nlohmann::json Machine(const nlohmann::json& overrides = nlohmann::json::object());

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Whether the runs go to the Windows programs under Wine: with NWT_E2E_WINE_RUN naming
// scripts/wine-run and NWT_E2E_WINDOWS_BIN the folder of the windows build's programs, the
// program "<dir>/tolmare" runs as "<NWT_E2E_WINDOWS_BIN>/tolmare.exe" through the runner, which
// keeps the Linux build's contract (standard output, the trace and its exit line, the low byte
// as exit status).
bool UnderWine();

// Runs `program` with `args` (not counting the program name), SIMBOOK=machineFile and
// SIMBOOK_TRACE=<scratch>/trace.jsonl (emptied first).
RunResult Run(const Scratch& scratch, const std::string& program,
              const std::vector<std::string>& args, const std::string& machineFile);
// The same, always with the Linux program at `program`.
RunResult RunLinux(const Scratch& scratch, const std::string& program,
                   const std::vector<std::string>& args, const std::string& machineFile);

// Trace helpers.
// Lines with op "DeviceIoControl", optionally only those with the given I/O-control code.
std::vector<nlohmann::json> IoControls(const RunResult& run,
                                       std::optional<uint32_t> code = std::nullopt);
// The firmware functions (first byte of each MiscPacket) carried by plain-form capsules, in
// order; only meaningful for a driver without sessions, whose capsules travel unenciphered.
std::vector<int> PlainFirmwareFunctions(const RunResult& run);

constexpr uint32_t IOCTL_SESSION = nwt::test::protocol::kIoctlHandshake;
constexpr uint32_t IOCTL_END_SESSION = nwt::test::protocol::kIoctlEndSession;
constexpr uint32_t IOCTL_CAPSULE = nwt::test::protocol::kIoctlCapsule;

} // namespace e2e

// Skips a case the Windows programs under Wine cannot express, saying why.
#define E2E_LINUX_ONLY(reason)                                                                     \
    do {                                                                                           \
        if (e2e::UnderWine()) {                                                                    \
            GTEST_SKIP() << "Linux only: " << (reason);                                            \
        }                                                                                          \
    } while (0)
