// The simulated notebook's description: what one machine file says, with every default.
//
// A run sees one machine: the file named by SIMBOOK, or the built-in default machine kept in
// $XDG_STATE_HOME/simbook/machine.json (~/.local/state/simbook/machine.json), created from the
// built-in default the first time. The file is read once per process, on first use. A file that
// cannot be read or parsed is reported once, as one line on standard error naming the file and
// the key, and every platform call that needs the machine then fails as it would on a notebook
// without that hardware.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simbook/types.h"

namespace simbook {

enum class ScanBehaviour {
    Complete, // accepted; scan complete (ACM code 7) is sent later from the service's thread
    Fail,     // accepted; scan fail (ACM code 8) is sent later
    Refuse,   // WlanScan returns an error
    Silent    // accepted; no notification ever comes
};

// The most values a fault key that takes a list may hold (see Machine: "scan", "busy_replies").
constexpr size_t kMaxSequenceLength = 64;

// The longest SSID a network can have, in bytes.
constexpr size_t kMaxSsidLength = 32;

// The size of a public value of the handshake's group on the wire, in bytes.
constexpr size_t kPublicValueBytes = 132;

struct WlanInterface {
    Guid guid{};
    std::string guidText; // as written in the file
    // What a scan does: the one value of "scan", or for a list the value at `scanStep` as read
    // (the last one once the step is past the end); a run's scan takes its step afresh.
    ScanBehaviour scan = ScanBehaviour::Complete;
    // "scan" as a list, one value per program run that scans (see MachineLock::TakeStep in
    // simbook/driver/store.h); empty when "scan" holds one value for every run.
    std::vector<ScanBehaviour> scanSequence;
    uint32_t scanStep = 0; // "scan_step": the index of the value the next program run takes
    std::vector<std::vector<uint8_t>> networks; // raw SSID bytes, 0 to 32 each, in list order

    friend bool operator==(const WlanInterface&, const WlanInterface&) = default;
};

// The interface of the built-in default machine.
inline WlanInterface DefaultWlanInterface() {
    WlanInterface wi;
    wi.guid = Guid{0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 0x30, 0x0d, 0xce, 0x17, 0xd6}};
    wi.guidText = "{c799c725-24b9-464b-b6c7-5e300dce17d6}";
    wi.networks = {
        {'H', 'o', 'm', 'e', 'N', 'e', 't'}, {}, {'C', 'a', 'f', 'e'}, {'C', 'a', 'f', 'e'}};
    return wi;
}

// The driver's phase-2 proof ("proof" in the machine file: "good", "flip_last_byte",
// "wrong_order").
enum class ProofFault {
    Good,         // HMAC over the driver's public value, then the client's
    FlipLastByte, // the right proof with its last byte inverted
    WrongOrder    // HMAC over the two public values in the client's order
};

// The driver's phase-3 reply ("phase3_reply": "good", "swapped_halves").
enum class Phase3Fault {
    Good,         // "Auth", "Misc" enciphered under the session key
    SwappedHalves // the two halves swapped before enciphering
};

// Fault knobs of the driver model ("driver": {"faults": {...}} in the machine file, keys in
// snake_case: probe_error, phase1_reply_length, proof, phase3_reply, capsule_reply_length,
// capsule_total_field, capsule_extra_payload, capsule_empty_payload, capsule_error,
// public_value), each off by
// default. They let tests and procedure writers reproduce drivers that misbehave in the ways the
// channel must survive. Further knobs: driver.held_by_other_program,
// firmware.password_state_status, firmware.setting58_stray_bits, firmware.failing_functions,
// wlan.notify_delay_ms, wlan.wait_limit_ms.
struct DriverFaults {
    std::optional<Dword> probeError;             // probe fails with this last error (0: succeeds)
    std::optional<Dword> phase1ReplyLength;      // bytes returned for phase 1 (the driver's 160)
    ProofFault proof = ProofFault::Good;         // the driver's phase-2 proof
    Phase3Fault phase3Reply = Phase3Fault::Good; // the phase-3 "AuthMisc" reply
    std::optional<Dword> capsuleReplyLength;     // bytes returned for 0x222008 (truncated reply)
    std::optional<Dword> capsuleTotalField;      // value written into a response capsule's T field
    Dword capsuleExtraPayload = 0;               // payload bytes beyond the firmware's answer
    bool capsuleEmptyPayload = false;            // answer capsules carry no payload
    std::optional<Dword> capsuleError;           // 0x222008 fails with this error after answering
    // The driver's phase-1 public value, least significant byte first as the reply carries it
    // (1 to 132 bytes, the rest zero), instead of a fresh 2^x mod p. Any value, even one outside
    // the group, so that a client's range check can be tried on both sides.
    std::optional<std::vector<uint8_t>> publicValue;

    friend bool operator==(const DriverFaults&, const DriverFaults&) = default;
};

// Whether `value` fits a setting `width` bits wide. A width of 0 holds only 0; 32 and above
// hold every 32-bit value.
constexpr bool FitsWidth(uint32_t value, unsigned width) {
    return width >= 32 || (value >> width) == 0;
}

struct Machine {
    std::string path; // the machine file this came from

    uint32_t ansiCodePage = 1252; // 1252 or 65001

    struct Clock {
        bool pinned = false; // false: real clock and counter
        SystemTime systemTime{2026, 12, 1, 7, 13, 47, 41, 0};
        int64_t performanceCounter = 1234567890;
        friend bool operator==(const Clock&, const Clock&) = default;
    } clock;

    struct Driver {
        bool present = true;
        int interfaces = 1;
        std::optional<std::string> driverVersion = std::string("1.0.8.0"); // nullopt: missing
        bool sessions = true;
        std::array<uint8_t, 16> authKey{0xf2, 0xae, 0xe4, 0xfc, 0x34, 0xd1, 0xe4, 0x8c,
                                        0x54, 0xe0, 0x07, 0x42, 0xb7, 0xde, 0xf7, 0x0e};
        // Busy answers of a program run: the one value of "busy_replies", or for a list the value
        // at `busyRepliesStep` as read (the last one once the step is past the end); a run's
        // first open of the device takes its step afresh.
        int busyReplies = 0;
        std::vector<int> busyRepliesSequence; // "busy_replies" as a list; empty: one value
        uint32_t busyRepliesStep = 0;         // "busy_replies_step": the value the next run takes
        // Another program holds the device exclusively: every open of it fails with
        // ERROR_SHARING_VIOLATION, whatever share mode it asks for.
        bool heldByOtherProgram = false;
        DriverFaults faults;
        friend bool operator==(const Driver&, const Driver&) = default;
    } driver;

    struct Firmware {
        uint16_t wlanFlags = 1;
        uint32_t setting58 = 1;
        uint8_t setting58Width = 2;
        bool supervisorPassword = false;
        bool userPassword = false;
        uint16_t passwordDataLength = 32;
        std::optional<uint8_t> passwordStateStatus; // overrides the 0 / 2 answer of function 0x05
        std::vector<uint8_t> failingFunctions;      // functions answered with status 1
        std::vector<uint8_t> wlanItemData;          // data area of item 0x8008 (function 0x11)
        uint32_t setting58StrayBits = 0; // set above the width in read answers (function 0x0C)
        friend bool operator==(const Firmware&, const Firmware&) = default;
    } firmware;

    struct Wlan {
        bool library = true;
        bool uiLibrary = true;
        std::vector<std::string> missingEntries;
        std::vector<WlanInterface> interfaces{DefaultWlanInterface()};
        Dword notifyDelayMs = 50;         // how long a scan takes before its notification
        std::optional<Dword> waitLimitMs; // caps every finite WaitForSingleObject timeout
        friend bool operator==(const Wlan&, const Wlan&) = default;
    } wlan;

    friend bool operator==(const Machine&, const Machine&) = default;
};

// The machine of this process, loaded on first use; null when the file could not be read or
// parsed (the problem has then been reported on standard error, once).
const Machine* CurrentMachine();

// The largest machine file read: far above any real one (a few kilobytes), and small enough
// that reading and parsing it stays within a few tens of megabytes.
constexpr size_t kMaxMachineFileSize = 1024 * 1024;

// Reads the machine file at `path`, which must be a regular file of at most
// kMaxMachineFileSize bytes; opening it never waits (a FIFO is refused, not waited on). On
// failure returns false with `problem` set to what is wrong ("is a directory").
bool ReadMachineText(const std::string& path, std::string& text, std::string& problem);

// A machine file as read and parsed.
struct LoadedMachine {
    std::string text;            // the file's bytes
    Machine machine;             // as the programs read it, `path` set
    nlohmann::ordered_json json; // MachineJson(machine): every key with the value it has
};

// Reads the machine file at `path` with ReadMachineText and parses it with ParseMachine: the one
// way simbook loads a machine file. nullopt, with `problem` set to what is wrong (the path not
// included), when the file cannot be read or parsed or memory runs out.
std::optional<LoadedMachine> LoadMachineFile(const std::string& path, std::string& problem);

// The longest top-level "description" a machine file may carry, in bytes: one line that says
// what the machine is for, read by people and listings; the machine itself ignores it.
constexpr size_t kMaxDescriptionLength = 300;

// Parses machine-file text. On error returns nullopt and sets `error` to "key: problem".
std::optional<Machine> ParseMachine(const std::string& text, std::string& error);

// Every key of the machine file with the value `machine` has for it, missing values as null,
// in the file's order: what a reader of this machine sees. ParseMachine reads it back as the
// same machine.
nlohmann::ordered_json MachineJson(const Machine& machine);

// The text of the built-in default machine, written out from the member defaults above, which
// are the one place the defaults are stated.
std::string DefaultMachineText();

// The machine file this process uses: $SIMBOOK, else the default state file (created from the
// built-in default when missing). Empty when neither can be found or created (reported).
std::string MachineFilePath();
// Where the default machine file is when SIMBOOK is not set ($XDG_STATE_HOME when absolute, else
// $HOME/.local/state, then simbook/machine.json), without making it or saying anything; empty
// when neither is set, and on Windows, which has no default machine.
std::string DefaultMachineFilePath();

// Writes one line "simbook: <file>: <problem>" to standard error, unprintable characters
// escaped (see ReportProblem in simbook/trace.h).
void ReportMachineProblem(const std::string& file, const std::string& problem);

// Forgets the loaded machine so that the next CurrentMachine() reads $SIMBOOK again. Machines
// handed out earlier stay valid. For tests that switch machine files within one process.
void ReloadMachineForTests();

} // namespace simbook
