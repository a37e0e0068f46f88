// Decoding a trace: one event per line, with the firmware call of each capsule taken from the
// "firmware" line the driver model writes just before the capsule's DeviceIoControl line.
#include "simbook/trace_decode.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>

#include "simbook/bytes.h"
#include "simbook/json_nesting.h"

namespace simbook {
namespace {

using oj = nlohmann::ordered_json;

constexpr uint32_t kSessionCode = 0x222000;
constexpr uint32_t kEndSessionCode = 0x222004;
constexpr uint32_t kCapsuleCode = 0x222008;
constexpr size_t kPhase1Reply = 160;

std::string Format(const char* format, uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Hex32(uint64_t value) {
    return Format("0x%08" PRIx64, value);
}

// A field of a line, or `fallback` when it is missing or of another type.
template <class T> T Field(const oj& line, const char* key, T fallback) {
    auto it = line.find(key);
    if (it == line.end()) {
        return fallback;
    }
    try {
        return it->get<T>();
    } catch (const nlohmann::json::exception&) {
        return fallback;
    }
}

std::vector<uint8_t> Bytes(const oj& line, const char* key) {
    std::optional<std::vector<uint8_t>> bytes = HexBytes(Field<std::string>(line, key, ""));
    return bytes ? *bytes : std::vector<uint8_t>();
}

// Reads within `bytes` only: a field past the end reads as nullopt.
std::optional<uint32_t> Le32At(const std::vector<uint8_t>& bytes, size_t at) {
    return at + 4 <= bytes.size() ? std::optional<uint32_t>(LoadLe32(bytes.data() + at))
                                  : std::nullopt;
}
std::optional<uint16_t> Le16At(const std::vector<uint8_t>& bytes, size_t at) {
    return at + 2 <= bytes.size() ? std::optional<uint16_t>(LoadLe16(bytes.data() + at))
                                  : std::nullopt;
}

const char* OnOff(bool on) {
    return on ? "ENABLE" : "DISABLE";
}

// ---- The firmware call of a capsule ---------------------------------------------------------

const char* FunctionName(int function) {
    switch (function) {
    case 0x0C:
        return "ReadIndexedSetting";
    case 0x0D:
        return "WriteIndexedSetting";
    case 0x11:
        return "GetSetupItem";
    case 0x12:
        return "SetSetupItem";
    case 0x04:
        return "GetPasswordInfo";
    case 0x05:
        return "GetPasswordState";
    default:
        return "unknown function";
    }
}

std::string StatusText(int function, int status) {
    switch (status) {
    case 0:
        return "done";
    case 1:
        return "not supported";
    case 2:
        return function == 0x05 ? "not set" : "status 2";
    case 3:
        return "bad packet";
    case 4:
        return "busy";
    case 5:
        return "data area too small";
    default:
        return "status " + std::to_string(status);
    }
}

// The wireless LAN item's state as the check tool reads its flags word.
std::string WlanFlagsText(uint16_t flags) {
    const int state = (flags & 0x0100) != 0 ? (flags & 3) : (flags & 1);
    return state <= 1 ? std::string("WLAN ") + OnOff(state == 1) : "no WLAN state";
}

// Setting 58 as the switch and its display: bit 0 the switch, bit 1 set = display off.
std::string SwitchSettingText(uint32_t value) {
    if (value > 3) {
        return "no switch state";
    }
    return std::string("WirelessSwitch ") + OnOff((value & 1) != 0) + ", WirelessSwitchDisplay " +
           OnOff((value & 2) == 0);
}

struct FirmwareCall {
    std::string text; // "GetSetupItem item 0x8008 selector 0: flags 0x0001 (WLAN ENABLE) -> done"
    oj facts;

    FirmwareCall() noexcept(false) {}
    FirmwareCall(const FirmwareCall&) = default;
    FirmwareCall& operator=(const FirmwareCall&) = default;
    FirmwareCall(FirmwareCall&&) noexcept(false) = default;
    FirmwareCall& operator=(FirmwareCall&&) noexcept(false) = default;
    ~FirmwareCall() = default;
};

// Adds what function 0x0C/0x0D/0x11/0x12 read or wrote to `call`.
void DescribeSettingCall(int function, const std::vector<uint8_t>& rq,
                         const std::vector<uint8_t>& an, bool done, FirmwareCall& call) {
    if (function == 0x0C || function == 0x0D) {
        const uint32_t setting = Le32At(rq, 12).value_or(0);
        call.text += " setting " + std::to_string(setting);
        call.facts["setting"] = setting;
        if (function == 0x0D) {
            const uint32_t value = Le32At(rq, 20).value_or(0);
            call.text += " = " + std::to_string(value);
            call.facts["written"] = value;
            if (setting == 58) {
                call.text += " (" + SwitchSettingText(value) + ")";
            }
        } else if (done && an.size() >= 24) {
            const uint32_t width = an[12];
            uint32_t value = LoadLe32(an.data() + 20);
            value = width >= 32 ? value : value & ((1u << width) - 1);
            call.facts["read"] = value;
            call.facts["width"] = width;
            call.text += ": value " + std::to_string(value) + " (width " + std::to_string(width);
            call.text += setting == 58 ? "; " + SwitchSettingText(value) + ")" : ")";
        }
        return;
    }
    const uint16_t item = Le16At(rq, 8).value_or(0);
    const uint16_t selector = Le16At(rq, 10).value_or(0);
    call.text += " item " + Format("0x%04" PRIx64, item) + " selector " + std::to_string(selector);
    call.facts["item"] = item;
    call.facts["selector"] = selector;
    if (function == 0x12) {
        const uint16_t value = Le16At(rq, 12).value_or(0);
        call.facts["written"] = value;
        call.text += " = " + std::to_string(value);
        if (item == 0x8008) {
            call.text += " (WLAN " + std::string(OnOff(value == 1)) + ")";
        }
    } else if (done && an.size() >= 20) {
        const uint16_t flags = LoadLe16(an.data() + 12);
        call.facts["read"] = flags;
        call.text += ": flags " + Format("0x%04" PRIx64, flags);
        if (item == 0x8008) {
            call.text += " (" + WlanFlagsText(flags) + ")";
        }
    } else if (!an.empty() && an[0] == 5 && an.size() >= 22) {
        call.facts["needed"] = LoadLe16(an.data() + 20);
        call.text += ": needs " + std::to_string(LoadLe16(an.data() + 20)) + " bytes of data";
    }
}

void DescribePasswordCall(int function, const std::vector<uint8_t>& rq,
                          const std::vector<uint8_t>& an, int status, FirmwareCall& call) {
    if (function == 0x04) {
        if (status == 0 && an.size() >= 18) {
            call.facts["supervisor_password"] = an[14] != 0;
            call.facts["user_password"] = an[15] != 0;
            call.facts["data_length"] = LoadLe16(an.data() + 16);
            call.text += std::string(": supervisor password ") + (an[14] != 0 ? "set" : "not set") +
                         ", user password " + (an[15] != 0 ? "set" : "not set") + ", data length " +
                         std::to_string(LoadLe16(an.data() + 16));
        }
        return;
    }
    const uint16_t selector = Le16At(rq, 8).value_or(0);
    const char* which = selector == 0x8000 ? "SupervisorPassword"
                        : selector == 0    ? "UserPassword"
                                           : "unknown password";
    call.facts["selector"] = selector;
    call.text += " " + std::string(which) + " (selector " + Format("0x%04" PRIx64, selector) + ")";
    if (status == 0 || status == 2) {
        call.facts["read"] = status == 0 ? "set" : "not set";
        call.text += std::string(": ") + OnOff(status == 0);
    }
}

FirmwareCall DescribeFirmware(const oj& line) {
    FirmwareCall call;
    const std::vector<uint8_t> rq = Bytes(line, "request");
    const std::vector<uint8_t> an = Bytes(line, "answer");
    const int function = rq.empty() ? -1 : rq[0];
    const bool stored = !line.contains("answer") || !line["answer"].is_null();
    const int status = an.empty() ? -1 : an[0];
    call.facts["function"] = function;
    call.facts["name"] = FunctionName(function);
    call.text = FunctionName(function);
    if (function != -1 && std::string(FunctionName(function)) == "unknown function") {
        call.text = "function " + Format("0x%02" PRIx64, static_cast<uint64_t>(function));
    }
    if (function == 0x0C || function == 0x0D || function == 0x11 || function == 0x12) {
        DescribeSettingCall(function, rq, an, status == 0, call);
    } else if (function == 0x04 || function == 0x05) {
        DescribePasswordCall(function, rq, an, status, call);
    }
    if (!stored) {
        call.facts["status"] = nullptr;
        call.text += " -> the change could not be stored in the machine file";
        return call;
    }
    call.facts["status"] = status;
    call.facts["status_text"] = status < 0 ? "no answer" : StatusText(function, status);
    call.text += " -> " + (status < 0 ? std::string("no answer") : StatusText(function, status));
    return call;
}

// ---- Exit statuses --------------------------------------------------------------------------

struct Bit {
    int bit;
    const char* name;
};
constexpr Bit kCheckBits[] = {{16, "WLAN"},
                              {20, "WirelessSwitch"},
                              {21, "WirelessSwitchDisplay"},
                              {24, "SupervisorPassword"},
                              {25, "UserPassword"}};

std::string CheckToolStatus(int64_t status) {
    switch (status) {
    case -1:
        return "failure: a read failed, or the driver could not be opened or turned the "
               "handshake down";
    case -2:
        return "failure: no driver found, or it failed the authentication";
    default:
        break;
    }
    if (status < 0) {
        return "not a status of tolmare";
    }
    std::string on;
    std::string off;
    uint32_t known = 0;
    for (const Bit& b : kCheckBits) {
        known |= 1u << b.bit;
        std::string& list = (status >> b.bit) & 1 ? on : off;
        list += (list.empty() ? "" : ", ") + std::string(b.name);
    }
    std::string text = "on: " + (on.empty() ? std::string("none") : on) +
                       "; off: " + (off.empty() ? std::string("none") : off);
    if ((static_cast<uint64_t>(status) & ~static_cast<uint64_t>(known)) != 0) {
        text += "; bits outside the report are set";
    }
    return text;
}

std::string SetToolStatus(int64_t status) {
    switch (status) {
    case 0:
        return "every option was applied";
    case -1:
        return "failure: the driver could not be opened or turned the handshake down, the "
               "password state could not be read, or a write failed";
    case -2:
        return "failure: no driver found, or it failed the authentication";
    case -3:
        return "the command line was rejected; the driver was not touched";
    case -4:
        return "a firmware password is set; nothing was changed";
    default:
        return "not a status of brenvik";
    }
}

std::string ScanToolStatus(int64_t status) {
    switch (status) {
    case 0:
        return "networks listed";
    case 1:
        return "the scan ended, but no network name to print";
    case -1:
        return "failure: the Wi-Fi service, the registration, the scan or the list failed, or "
               "no end of scan came";
    case -2:
        return "not exactly one argument, or not a well-formed GUID";
    default:
        return "not a status of sundrel";
    }
}

// ---- The decoder ----------------------------------------------------------------------------

// What one run (the lines up to its exit line) did, to tell which program it was.
struct RunSigns {
    bool wifi = false;
    bool settingWrite = false;
    bool itemRead = false;
    void Clear() { *this = RunSigns{}; }
};

} // namespace

class TraceDecoder::Decoder {
public:
    Decoder(std::string program, Sink sink)
        : program_(std::move(program)), sink_(std::move(sink)) {}

    void Line(size_t number, const std::string& text) {
        if (text.empty()) {
            return;
        }
        if (!NestedWithin(text, kMaxJsonNesting)) {
            Emit(number, "raw",
                 "not a trace line (nests deeper than " + std::to_string(kMaxJsonNesting) +
                     " levels): " + text.substr(0, 80),
                 oj{{"text", text}});
            return;
        }
        oj line = oj::parse(text, nullptr, false);
        if (line.is_discarded() || !line.is_object() || !line.contains("op") ||
            !line["op"].is_string()) {
            Emit(number, "raw", "not a trace line: " + text.substr(0, 80), oj{{"text", text}});
            return;
        }
        const std::string op = line["op"].get<std::string>();
        if (op == "firmware") {
            if (pending_.size() == kMaxWaitingFirmwareLines) {
                Unpaired(pending_.front());
                pending_.pop_front();
            }
            pending_.push_back({number, std::move(line)});
        } else if (op == "open" || op == "refused") {
            Open(number, op, line);
        } else if (op == "close") {
            Emit(number, "close",
                 "close handle " + std::to_string(Field<uint64_t>(line, "handle", 0)),
                 oj{{"handle", line.value("handle", oj())}});
        } else if (op == "DeviceIoControl") {
            IoControl(number, line);
        } else if (op == "notify") {
            Notify(number, line);
        } else if (op.rfind("Wlan", 0) == 0) {
            Wifi(number, op, line);
        } else if (op == "LoadLibraryW" || op == "FreeLibrary") {
            Library(number, op, line);
        } else if (op == "start") {
            Start(number, line);
        } else if (op == "exit") {
            Exit(number, line);
        } else {
            Emit(number, "raw", text, oj{{"op", op}, {"text", text}});
        }
    }

    void Overlong(size_t number, size_t limit) {
        Emit(number, "raw", "not a trace line: longer than " + std::to_string(limit) + " bytes",
             oj{{"text", nullptr}});
    }

    void Finish() {
        // Firmware lines whose capsule line never came (a trace cut short).
        for (const Waiting& waiting : pending_) {
            Unpaired(waiting);
        }
        pending_.clear();
    }

private:
    struct Waiting {
        size_t number; // the firmware line's
        oj line;
    };

    void Unpaired(const Waiting& waiting) {
        FirmwareCall call = DescribeFirmware(waiting.line);
        Emit(waiting.number, "capsule", "capsule (no reply recorded): " + call.text, call.facts);
    }

    void Emit(size_t number, const std::string& kind, const std::string& text, oj facts) {
        TraceEvent e;
        e.line = number;
        e.kind = kind;
        e.text = text;
        e.facts = oj{{"line", number}, {"event", kind}};
        if (facts.is_object()) {
            e.facts.update(facts);
        }
        sink_(std::move(e));
    }

    void Open(size_t number, const std::string& op, const oj& line) {
        const std::string path = Field<std::string>(line, "path", "");
        const uint64_t error = Field<uint64_t>(line, "last_error", 0);
        if (op == "open") {
            const uint64_t handle = Field<uint64_t>(line, "handle", 0);
            Emit(number, "open", "open " + path + " -> handle " + std::to_string(handle),
                 oj{{"path", path}, {"handle", handle}});
        } else {
            Emit(number, "refused", "open refused: " + path + ": " + Win32ErrorText(error),
                 oj{{"path", path}, {"last_error", error}});
        }
    }

    static std::string Outcome(bool ok, uint64_t error) {
        return ok ? std::string("ok") : "failed: " + Win32ErrorText(error);
    }

    void IoControl(size_t number, const oj& line) {
        const uint64_t code = Field<uint64_t>(line, "code", 0);
        const std::vector<uint8_t> in = Bytes(line, "in");
        const std::vector<uint8_t> out = Bytes(line, "out");
        const bool ok = Field<bool>(line, "result", false);
        const uint64_t error = Field<uint64_t>(line, "last_error", 0);
        oj facts = {{"code", code}, {"result", ok}, {"last_error", error}};
        if (code == kSessionCode && in.empty()) {
            std::string text = "probe: " + Outcome(ok, error);
            if (ok) {
                text += " (the driver offers sessions)";
            } else if (error == 50) {
                text += " (no sessions: capsules travel in plain form)";
            }
            Emit(number, "probe", text, facts);
        } else if (code == kSessionCode) {
            Handshake(number, in, out, ok, error, facts);
        } else if (code == kEndSessionCode) {
            const std::optional<uint32_t> id = Le32At(in, 0);
            facts["session"] = id ? oj(*id) : oj(nullptr);
            Emit(number, "end_session",
                 "end of session " + (id ? Hex32(*id) : std::string("?")) + ": " +
                     Outcome(ok, error),
                 facts);
        } else if (code == kCapsuleCode) {
            Capsule(number, in, out, ok, error, facts);
        } else {
            Emit(number, "ioctl",
                 "I/O control " + Hex32(code) + " (" + std::to_string(in.size()) + " bytes in, " +
                     std::to_string(out.size()) + " out): " + Outcome(ok, error),
                 facts);
        }
    }

    void Handshake(size_t number, const std::vector<uint8_t>& in, const std::vector<uint8_t>& out,
                   bool ok, uint64_t error, oj& facts) {
        const std::string tag(
            in.begin(), in.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, in.size())));
        int phase = tag == "Ini1" ? 1 : tag == "Ini2" ? 2 : tag == "Ini3" ? 3 : 0;
        facts["phase"] = phase;
        if (phase == 0) {
            Emit(number, "ioctl",
                 "I/O control 0x00222000 with an unknown request: " + Outcome(ok, error), facts);
            return;
        }
        // Phase 1's reply names the session; phases 2 and 3 name it in their request.
        const std::optional<uint32_t> id = phase == 1 ? Le32At(out, 0) : Le32At(in, 4);
        facts["session"] = id ? oj(*id) : oj(nullptr);
        facts["returned"] = out.size();
        static const char* const kWhat[] = {"", "key agreement", "proofs", "session key"};
        std::string text = "handshake phase " + std::to_string(phase) + " (" + kWhat[phase] + ")";
        if (id) {
            text += ", session " + Hex32(*id);
        }
        text += ": " + Outcome(ok, error);
        if (ok && phase == 1 && out.size() != kPhase1Reply) {
            text += " (" + std::to_string(out.size()) + " of 160 bytes returned)";
        }
        if (!ok && phase == 2 && error == 5) {
            text += " (the client's proof was wrong)";
        }
        if (ok && phase == 3) {
            text += " (session established)";
        }
        Emit(number, "handshake", text, facts);
    }

    // The firmware line of this capsule: the oldest one waiting for the capsule's session.
    std::optional<oj> TakeFirmware(std::optional<uint32_t> session) {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (!session || Field<uint64_t>(it->line, "session", 0) == *session) {
                oj line = std::move(it->line);
                pending_.erase(it);
                return line;
            }
        }
        return std::nullopt;
    }

    void Capsule(size_t number, const std::vector<uint8_t>& in, const std::vector<uint8_t>& out,
                 bool ok, uint64_t error, oj& facts) {
        const std::optional<uint32_t> session = Le32At(in, 8);
        facts["session"] = session ? oj(*session) : oj(nullptr);
        facts["returned"] = out.size();
        std::optional<oj> firmware = TakeFirmware(session);
        if (!firmware) {
            Emit(number, "capsule",
                 "capsule, session " + (session ? Hex32(*session) : std::string("?")) +
                     ": not answered by the firmware: " + Outcome(ok, error),
                 facts);
            return;
        }
        FirmwareCall call = DescribeFirmware(*firmware);
        facts.update(call.facts);
        const uint64_t sequence = Field<uint64_t>(*firmware, "sequence", 0);
        const bool encrypted = Field<bool>(*firmware, "encrypted", false);
        facts["sequence"] = sequence;
        facts["encrypted"] = encrypted;
        // A busy answer makes the client send the same request again.
        const std::string request = Field<std::string>(*firmware, "request", "");
        const bool repeat = lastBusy_ && *lastBusy_ == request;
        const bool busy = Field<int>(call.facts, "status", -1) == 4;
        lastBusy_ = busy ? std::optional<std::string>(request) : std::nullopt;
        facts["busy"] = busy;
        facts["repeat"] = repeat;
        std::string text =
            "capsule #" + std::to_string(sequence) +
            (encrypted ? ", session " + Hex32(session.value_or(0)) : std::string(", plain")) +
            ": " + (repeat ? "repeat of " : "") + call.text;
        if (busy) {
            text += " (the client repeats the request)";
        }
        if (!ok) {
            text += "; the call failed: " + Win32ErrorText(error);
        } else if (out.size() < 16) {
            text += "; reply cut to " + std::to_string(out.size()) + " bytes";
        }
        Emit(number, "capsule", text, facts);
        if (Field<int>(call.facts, "function", -1) == 0x0D ||
            Field<int>(call.facts, "function", -1) == 0x12) {
            signs_.settingWrite = true;
        }
        if (Field<int>(call.facts, "function", -1) == 0x11) {
            signs_.itemRead = true;
        }
    }

    void Wifi(size_t number, const std::string& op, const oj& line) {
        signs_.wifi = true;
        std::string text = op;
        oj facts = {{"call", op}};
        for (auto it = line.begin(); it != line.end(); ++it) {
            if (it.key() == "op" || it.key() == "result") {
                continue;
            }
            facts[it.key()] = *it;
            text += " " + it.key() + "=" + (it->is_string() ? it->get<std::string>() : it->dump());
        }
        if (line.contains("result")) {
            const uint64_t result = Field<uint64_t>(line, "result", 0);
            facts["result"] = result;
            text += " -> " + Win32ErrorText(result);
        }
        Emit(number, "wlan", text, facts);
    }

    void Notify(size_t number, const oj& line) {
        signs_.wifi = true;
        const uint64_t source = Field<uint64_t>(line, "source", 0);
        const uint64_t code = Field<uint64_t>(line, "code", 0);
        const std::string itf = Field<std::string>(line, "interface", "");
        std::string what = "code " + std::to_string(code);
        if (source == 8 && code == 7) {
            what = "scan complete";
        } else if (source == 8 && code == 8) {
            what = "scan fail";
        }
        Emit(number, "notify",
             "notification from source " + std::to_string(source) + ": " + what + " on " + itf,
             oj{{"source", source}, {"code", code}, {"interface", itf}, {"what", what}});
    }

    void Library(size_t number, const std::string& op, const oj& line) {
        signs_.wifi = true;
        const std::string library = Field<std::string>(line, "library", "");
        const bool ok = Field<bool>(line, "result", false);
        const uint64_t error = Field<uint64_t>(line, "last_error", 0);
        Emit(number, "library",
             (op == "LoadLibraryW" ? "load " : "unload ") + library + ": " + Outcome(ok, error),
             oj{{"call", op}, {"library", library}, {"result", ok}});
    }

    // The line a run begins with: which program, with which arguments.
    void Start(size_t number, const oj& line) {
        signs_.Clear();
        started_ = Field<std::string>(line, "program", "");
        std::string text = "run " + std::to_string(Field<int64_t>(line, "run", 0)) + ": " +
                           (started_.empty() ? "(unnamed program)" : started_);
        oj args = oj::array();
        if (line.contains("args") && line["args"].is_array()) {
            for (const oj& a : line["args"]) {
                if (a.is_string()) {
                    text += " " + a.get<std::string>();
                    args.push_back(a);
                }
            }
        }
        Emit(number, "start", text,
             oj{{"run", line.value("run", oj())},
                {"program", started_.empty() ? oj(nullptr) : oj(started_)},
                {"args", args}});
    }

    // The exit line's status when it is one: an integer in the 32-bit signed range.
    static std::optional<int64_t> ExitStatus(const oj& line) {
        const auto it = line.find("status");
        if (it == line.end() || !it->is_number_integer()) {
            return std::nullopt;
        }
        if (it->is_number_unsigned()) {
            const uint64_t value = it->get<uint64_t>();
            return value <= INT32_MAX ? std::optional<int64_t>(static_cast<int64_t>(value))
                                      : std::nullopt;
        }
        const int64_t value = it->get<int64_t>();
        return value >= INT32_MIN && value <= INT32_MAX ? std::optional<int64_t>(value)
                                                        : std::nullopt;
    }

    void Exit(size_t number, const oj& line) {
        const std::optional<int64_t> readable = ExitStatus(line);
        if (!readable) {
            // Nothing can be said of the run's outcome; the next run starts afresh.
            const auto it = line.find("status");
            const std::string given = it == line.end() ? "missing" : it->dump();
            started_.clear();
            signs_.Clear();
            lastBusy_.reset();
            Emit(number, "exit",
                 "exit status unreadable (" + given.substr(0, 80) +
                     "): not a 32-bit status; the run's outcome is unknown",
                 oj{{"status", nullptr}, {"program", nullptr}, {"meaning", "unreadable"}});
            return;
        }
        const int64_t status = *readable;
        // A start line names the run's program; --program is for traces without one.
        std::string program = started_.empty() ? program_ : started_;
        started_.clear();
        if (program.empty()) {
            program = signs_.wifi                    ? "sundrel"
                      : signs_.settingWrite          ? "brenvik"
                      : signs_.itemRead              ? "tolmare"
                      : status == -3 || status == -4 ? "brenvik"
                                                     : "";
        }
        const std::string meaning = ExplainExitStatus(status, program);
        Emit(number, "exit",
             "exit status " + std::to_string(status) + " (" + Hex32(static_cast<uint32_t>(status)) +
                 ")" + (program.empty() ? "" : " of " + program) + ": " + meaning,
             oj{{"status", status},
                {"program", program.empty() ? oj(nullptr) : oj(program)},
                {"meaning", meaning}});
        signs_.Clear();
        lastBusy_.reset();
    }

    std::string program_;
    Sink sink_;
    std::string started_;         // the program the current run's start line named
    std::deque<Waiting> pending_; // firmware lines waiting for their capsule line, oldest first
    std::optional<std::string> lastBusy_;
    RunSigns signs_;
};

TraceDecoder::TraceDecoder(std::string program, Sink sink)
    : decoder_(std::make_unique<Decoder>(std::move(program), std::move(sink))) {}

TraceDecoder::~TraceDecoder() = default;

void TraceDecoder::Line(size_t number, const std::string& text) {
    decoder_->Line(number, text);
}

void TraceDecoder::Overlong(size_t number, size_t limit) {
    decoder_->Overlong(number, limit);
}

void TraceDecoder::Finish() {
    decoder_->Finish();
}

std::string Win32ErrorText(uint64_t error) {
    static const std::map<uint64_t, const char*> kNames = {
        {0, "ERROR_SUCCESS"},
        {1, "ERROR_INVALID_FUNCTION"},
        {2, "ERROR_FILE_NOT_FOUND"},
        {3, "ERROR_PATH_NOT_FOUND"},
        {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},
        {32, "ERROR_SHARING_VIOLATION"},
        {50, "ERROR_NOT_SUPPORTED"},
        {87, "ERROR_INVALID_PARAMETER"},
        {122, "ERROR_INSUFFICIENT_BUFFER"},
        {126, "ERROR_MOD_NOT_FOUND"},
        {127, "ERROR_PROC_NOT_FOUND"},
        {170, "ERROR_BUSY"},
        {1117, "ERROR_IO_DEVICE"},
        {1168, "ERROR_NOT_FOUND"},
        {5023, "ERROR_INVALID_STATE"},
    };
    auto it = kNames.find(error);
    return it == kNames.end() ? "error " + std::to_string(error)
                              : std::string(it->second) + " (" + std::to_string(error) + ")";
}

std::string ExplainExitStatus(int64_t status, const std::string& program) {
    if (program == "tolmare") {
        return CheckToolStatus(status);
    }
    if (program == "brenvik") {
        return SetToolStatus(status);
    }
    if (program == "sundrel") {
        return ScanToolStatus(status);
    }
    std::string text = "brenvik: " + SetToolStatus(status) +
                       " / tolmare: " + CheckToolStatus(status) +
                       " / sundrel: " + ScanToolStatus(status);
    return text;
}

std::vector<TraceEvent> DecodeTrace(const std::vector<std::string>& lines,
                                    const std::string& program) {
    std::vector<TraceEvent> events;
    TraceDecoder decoder(program, [&](TraceEvent&& e) { events.push_back(std::move(e)); });
    for (size_t i = 0; i < lines.size(); ++i) {
        decoder.Line(i + 1, lines[i]);
    }
    decoder.Finish();
    return events;
}

} // namespace simbook
