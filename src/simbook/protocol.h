// What simbook knows of the setting tools' protocol and of the three programs, written once:
// the driver's I/O-control codes and the fixed sizes of its handshake and capsules, the
// firmware-call functions with their statuses, the setup item, indexed setting and password
// selectors the tools use and how the check tool reads them, and a table of the three programs
// (verdict lines, exit statuses and what they mean, the check tool's report bits).
//
// The driver and firmware models answer by these facts, the trace decoder and the simbook
// command explain by them. They are simbook's own statement of the protocol, independent of the
// programs' sources, so that the two ends must agree on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace simbook::protocol {

// ---- The driver's I/O controls (device type 0x22, buffered, any access) ---------------------

constexpr uint32_t kIoctlHandshake = 0x222000;  // no input: the probe; else "Ini1".."Ini3"
constexpr uint32_t kIoctlEndSession = 0x222004; // input: the 4-byte session identifier
constexpr uint32_t kIoctlCapsule = 0x222008;    // a request capsule, answered by a reply capsule
constexpr uint32_t kFirmwareCall = 0x222944;    // the code inside an encapsulated request

// The handshake's requests and replies: each phase's request begins with its 4-byte tag.
constexpr size_t kPhaseTagSize = 4;
inline constexpr char kPhase1Tag[] = "Ini1";
inline constexpr char kPhase2Tag[] = "Ini2";
inline constexpr char kPhase3Tag[] = "Ini3";
constexpr size_t kPhase1Size = 160;      // tag, public value, nonce; the reply is as long
constexpr size_t kPublicValueSize = 132; // a Diffie-Hellman value, least significant first
constexpr size_t kNonceOffset = 136;     // where phase 1's request and reply carry the nonce
constexpr size_t kNonceSize = 24;
constexpr size_t kPhase2RequestSize = 28;   // tag, session identifier, the client's proof
constexpr size_t kProofSize = 20;           // a proof: the phase 2 reply is the driver's
constexpr size_t kPhase3RequestSize = 24;   // tag, session identifier, enciphered session key
constexpr size_t kPhase3ReplySize = 8;      // "AuthMisc" under the session key
constexpr uint32_t kAuthLeft = 0x68747541;  // "Auth" as a little-endian word
constexpr uint32_t kAuthRight = 0x6373694d; // "Misc"

// A capsule: payload length, total length, session identifier, the payload padded to 8-byte
// blocks, a closing zero word. The encapsulated request inside a request capsule: sequence
// number, its own length, code, input size, answer room, the input, a closing zero word.
constexpr size_t kCapsuleHeaderSize = 12;
constexpr size_t kCapsuleMinSize = 16;    // no payload: the header and the closing word
constexpr size_t kRequestHeaderSize = 20; // the encapsulated request's fields before its input
constexpr size_t kRequestOverhead = 24;   // its length is the input size plus this
constexpr size_t CapsuleSize(size_t payload) {
    return kCapsuleMinSize + 8 * ((payload + 7) / 8);
}

// ---- Firmware calls: a packet answered in place, status in byte 0 ---------------------------

// Byte 0 of a request: the function. Bytes 2 and 4: input and output length (16 bits each).
namespace function {
constexpr uint8_t kReadIndexedSetting = 0x0C;
constexpr uint8_t kWriteIndexedSetting = 0x0D;
constexpr uint8_t kGetSetupItem = 0x11;
constexpr uint8_t kSetSetupItem = 0x12;
constexpr uint8_t kGetPasswordInfo = 0x04;
constexpr uint8_t kGetPasswordState = 0x05;
} // namespace function
constexpr size_t kPacketHeaderSize = 6; // function, sub-function, input length, output length

// Byte 0 of an answer.
namespace status {
constexpr uint8_t kDone = 0;
constexpr uint8_t kUnsupported = 1;    // function, item, selector, setting or value unknown
constexpr uint8_t kPasswordNotSet = 2; // function 0x05 only; 0 there means the password is set
constexpr uint8_t kBadPacket = 3;      // lengths or fixed fields wrong
constexpr uint8_t kBusy = 4;           // the client repeats the request once
constexpr uint8_t kTooSmall = 5;       // function 0x11: data area too small, needed length at 20
} // namespace status

// The fixed lengths (input, output) of each function's packet; 0x11 and 0x05 add a data area
// of n bytes to their output length (0x05: n at least 2).
constexpr size_t kIndexedSettingSize = 32;      // 0x0C and 0x0D, both ways
constexpr size_t kSetupItemHeaderSize = 22;     // 0x11's input; its data area starts here
constexpr size_t kSetSetupItemSize = 16;        // 0x12, both ways
constexpr size_t kPasswordInfoRequestSize = 8;  // 0x04
constexpr size_t kPasswordInfoAnswerSize = 18;  // its answer
constexpr size_t kPasswordStateHeaderSize = 10; // 0x05's input; its data area starts here

// Functions 0x0C and 0x0D carry 0x90 at offset 8 and this tag at offset 16.
constexpr uint32_t kIndexedSettingMarker = 0x90;
constexpr uint32_t IndexedSettingTag(uint8_t function) {
    return 0x01000090u | (static_cast<uint32_t>(function) << 16);
}

// The settings the tools use.
constexpr uint16_t kWlanItem = 0x8008; // setup item of the wireless LAN device (0x11, 0x12)
constexpr uint16_t kWlanSelector = 0;
constexpr uint32_t kSwitchSetting = 58;                  // indexed setting of the wireless switch
constexpr uint16_t kSupervisorPasswordSelector = 0x8000; // function 0x05's selectors
constexpr uint16_t kUserPasswordSelector = 0;

// The function's name, or nullptr for a function the firmware does not know.
const char* FunctionName(int function);

// What an answer's status means ("done", "busy", "not set" for 0x05's 2), or nullptr for a
// status without a meaning for that function.
const char* StatusName(int function, int status);

// ---- How the check tool reads the settings --------------------------------------------------

// The wireless LAN item's flags word: with bit 8 set its low two bits are the state, otherwise
// bit 0 alone; a state above 1 cannot be read (nullopt).
constexpr std::optional<bool> WlanOn(uint16_t flags) {
    const int state = (flags & 0x0100) != 0 ? (flags & 3) : (flags & 1);
    return state <= 1 ? std::optional<bool>(state == 1) : std::nullopt;
}

// An indexed setting's value cut to the width the firmware reports (32 and above: all of it).
constexpr uint32_t ValueInWidth(uint32_t value, uint32_t width) {
    return width >= 32 ? value : value & ((1u << width) - 1);
}

// Setting 58: bit 0 is the switch, bit 1 set turns its display off; a value above 3 cannot be
// read (nullopt).
struct SwitchState {
    bool switchOn = false;
    bool displayOn = false;
};
constexpr std::optional<SwitchState> SwitchFromSetting(uint32_t value) {
    return value <= 3 ? std::optional<SwitchState>(SwitchState{(value & 1) != 0, (value & 2) == 0})
                      : std::nullopt;
}

// Whether a password is set, from function 0x05's status: 0 set, 2 not set, any other status
// cannot be read (nullopt).
constexpr std::optional<bool> PasswordSet(int status) {
    return status == status::kDone             ? std::optional<bool>(true)
           : status == status::kPasswordNotSet ? std::optional<bool>(false)
                                               : std::nullopt;
}

// ---- The three programs ---------------------------------------------------------------------

// The check tool's report, in its order: each item's printed name and the bit of the exit
// status that says it reads on. A status of 0 or more is the OR of those bits.
struct ReportItem {
    int item;         // the item's number
    const char* name; // as printed: "WLAN[ENABLE]"
    int bit;
};
inline constexpr ReportItem kReportItems[] = {{0, "WLAN", 16},
                                              {1, "WirelessSwitch", 20},
                                              {2, "WirelessSwitchDisplay", 21},
                                              {3, "SupervisorPassword", 24},
                                              {4, "UserPassword", 25}};
constexpr uint32_t kReportMask = 0x03310000; // every report bit

// The verdict a program prints for a status: its success line, its failure line, or nothing.
enum class Verdict { Success, Failure, None };

// "SUCCESS", "FAILURE" or "(nothing)": the verdict as a report shows it.
const char* VerdictWord(Verdict verdict);

struct ExitStatus {
    int32_t status;
    Verdict verdict;
    const char* meaning;
};

struct Program {
    const char* name;        // "brenvik"
    const char* successLine; // exactly as printed, line end included when there is one
    const char* failureLine;
    std::span<const ExitStatus> statuses; // every status the program returns (but the mask)
    bool statusIsMask;                    // a status of 0 or more is the report's bit mask
    Verdict otherwise;                    // the verdict of a status of 0 or more not listed
};

// The three programs: brenvik, tolmare, sundrel.
std::span<const Program> Programs();

// The program of that name, or nullptr.
const Program* FindProgram(std::string_view name);

// The verdict `program` prints with `status`: a listed status's own, a negative one not listed
// FAILURE, otherwise the program's rule.
Verdict VerdictOf(const Program& program, int64_t status);

// What `status` means for `program`, or nullptr when the program never returns it. A mask
// status of the check tool means "the items were read" (the decoder names its bits).
const char* ExitMeaning(const Program& program, int64_t status);

// The status as a report shows it: the check tool's masks in hex ("0x00310000"), every other
// status in decimal. `program` may be null (a program not known).
std::string ExitStatusText(const Program* program, int64_t status);

} // namespace simbook::protocol
