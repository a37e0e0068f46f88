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
#include "simbook/protocol.h"

namespace simbook {
namespace {

using oj = nlohmann::ordered_json;

namespace fn = protocol::function;

std::string Format(const char* format, uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
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

// What a firmware answer's status means for `function`: its name, or "status N".
std::string FirmwareStatusText(int function, int status) {
    const char* name = protocol::StatusName(function, status);
    return name != nullptr ? name : "status " + std::to_string(status);
}

// The wireless LAN item's state as the check tool reads its flags word.
std::string WlanFlagsText(uint16_t flags) {
    const std::optional<bool> on = protocol::WlanOn(flags);
    return on ? std::string("WLAN ") + OnOff(*on) : "no WLAN state";
}

// The switch setting as the switch and its display.
std::string SwitchSettingText(uint32_t value) {
    const std::optional<protocol::SwitchState> state = protocol::SwitchFromSetting(value);
    if (!state) {
        return "no switch state";
    }
    return std::string("WirelessSwitch ") + OnOff(state->switchOn) + ", WirelessSwitchDisplay " +
           OnOff(state->displayOn);
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
    if (function == fn::kReadIndexedSetting || function == fn::kWriteIndexedSetting) {
        const uint32_t setting = Le32At(rq, 12).value_or(0);
        call.text += " setting " + std::to_string(setting);
        call.facts["setting"] = setting;
        if (function == fn::kWriteIndexedSetting) {
            const uint32_t value = Le32At(rq, 20).value_or(0);
            call.text += " = " + std::to_string(value);
            call.facts["written"] = value;
            if (setting == protocol::kSwitchSetting) {
                call.text += " (" + SwitchSettingText(value) + ")";
            }
        } else if (done && an.size() >= 24) {
            const uint32_t width = an[12];
            const uint32_t value = protocol::ValueInWidth(LoadLe32(an.data() + 20), width);
            call.facts["read"] = value;
            call.facts["width"] = width;
            call.text += ": value " + std::to_string(value) + " (width " + std::to_string(width);
            call.text +=
                setting == protocol::kSwitchSetting ? "; " + SwitchSettingText(value) + ")" : ")";
        }
        return;
    }
    const uint16_t item = Le16At(rq, 8).value_or(0);
    const uint16_t selector = Le16At(rq, 10).value_or(0);
    call.text += " item " + Format("0x%04" PRIx64, item) + " selector " + std::to_string(selector);
    call.facts["item"] = item;
    call.facts["selector"] = selector;
    if (function == fn::kSetSetupItem) {
        const uint16_t value = Le16At(rq, 12).value_or(0);
        call.facts["written"] = value;
        call.text += " = " + std::to_string(value);
        if (item == protocol::kWlanItem) {
            call.text += " (WLAN " + std::string(OnOff(value == 1)) + ")";
        }
    } else if (done && an.size() >= 20) {
        const uint16_t flags = LoadLe16(an.data() + 12);
        call.facts["read"] = flags;
        call.text += ": flags " + Format("0x%04" PRIx64, flags);
        if (item == protocol::kWlanItem) {
            call.text += " (" + WlanFlagsText(flags) + ")";
        }
    } else if (!an.empty() && an[0] == protocol::status::kTooSmall && an.size() >= 22) {
        call.facts["needed"] = LoadLe16(an.data() + 20);
        call.text += ": needs " + std::to_string(LoadLe16(an.data() + 20)) + " bytes of data";
    }
}

void DescribePasswordCall(int function, const std::vector<uint8_t>& rq,
                          const std::vector<uint8_t>& an, int status, FirmwareCall& call) {
    if (function == fn::kGetPasswordInfo) {
        if (status == protocol::status::kDone && an.size() >= protocol::kPasswordInfoAnswerSize) {
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
    const char* which = selector == protocol::kSupervisorPasswordSelector ? "SupervisorPassword"
                        : selector == protocol::kUserPasswordSelector     ? "UserPassword"
                                                                          : "unknown password";
    call.facts["selector"] = selector;
    call.text += " " + std::string(which) + " (selector " + Format("0x%04" PRIx64, selector) + ")";
    if (const std::optional<bool> set = protocol::PasswordSet(status)) {
        call.facts["read"] = *set ? "set" : "not set";
        call.text += std::string(": ") + OnOff(*set);
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
    const char* name = protocol::FunctionName(function);
    call.facts["name"] = name != nullptr ? name : "unknown function";
    call.text = name != nullptr ? std::string(name)
                : function == -1
                    ? std::string("unknown function")
                    : "function " + Format("0x%02" PRIx64, static_cast<uint64_t>(function));
    if (function == fn::kReadIndexedSetting || function == fn::kWriteIndexedSetting ||
        function == fn::kGetSetupItem || function == fn::kSetSetupItem) {
        DescribeSettingCall(function, rq, an, status == protocol::status::kDone, call);
    } else if (function == fn::kGetPasswordInfo || function == fn::kGetPasswordState) {
        DescribePasswordCall(function, rq, an, status, call);
    }
    if (!stored) {
        call.facts["status"] = nullptr;
        call.text += " -> the change could not be stored in the machine file";
        return call;
    }
    call.facts["status"] = status;
    call.facts["status_text"] = status < 0 ? "no answer" : FirmwareStatusText(function, status);
    call.text +=
        " -> " + (status < 0 ? std::string("no answer") : FirmwareStatusText(function, status));
    return call;
}

// ---- Exit statuses --------------------------------------------------------------------------

// The check tool's mask: the report's items that read on and off.
std::string ReportBitsText(int64_t status) {
    std::string on;
    std::string off;
    for (const protocol::ReportItem& item : protocol::kReportItems) {
        std::string& list = (status >> item.bit) & 1 ? on : off;
        list += (list.empty() ? "" : ", ") + std::string(item.name);
    }
    std::string text = "on: " + (on.empty() ? std::string("none") : on) +
                       "; off: " + (off.empty() ? std::string("none") : off);
    if ((static_cast<uint64_t>(status) & ~static_cast<uint64_t>(protocol::kReportMask)) != 0) {
        text += "; bits outside the report are set";
    }
    return text;
}

// What `status` means for `program`: the table's meaning, the mask's bits named.
std::string ExitMeaningText(const protocol::Program& program, int64_t status) {
    const char* meaning = protocol::ExitMeaning(program, status);
    if (meaning == nullptr) {
        return std::string("not a status of ") + program.name;
    }
    return program.statusIsMask && status >= 0 ? ReportBitsText(status) : std::string(meaning);
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

    // A run whose start line has been read and whose exit line has not.
    struct OpenRun {
        size_t line; // the start line's; 0 when the trace holds none
        std::optional<int64_t> run;
        std::string program;
    };
    // Runs begun and never ended (programs killed) are forgotten beyond this many.
    static constexpr size_t kMaxOpenRuns = 64;

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
        if (code == protocol::kIoctlHandshake && in.empty()) {
            std::string text = "probe: " + Outcome(ok, error);
            if (ok) {
                text += " (the driver offers sessions)";
            } else if (error == 50) {
                text += " (no sessions: capsules travel in plain form)";
            }
            Emit(number, "probe", text, facts);
        } else if (code == protocol::kIoctlHandshake) {
            Handshake(number, in, out, ok, error, facts);
        } else if (code == protocol::kIoctlEndSession) {
            const std::optional<uint32_t> id = Le32At(in, 0);
            facts["session"] = id ? oj(*id) : oj(nullptr);
            Emit(number, "end_session",
                 "end of session " + (id ? Hex32(*id) : std::string("?")) + ": " +
                     Outcome(ok, error),
                 facts);
        } else if (code == protocol::kIoctlCapsule) {
            Capsule(number, in, out, ok, error, facts);
        } else {
            Emit(number, "ioctl",
                 "I/O control " +
                     (code <= UINT32_MAX ? Hex32(static_cast<uint32_t>(code))
                                         : std::to_string(code)) +
                     " (" + std::to_string(in.size()) + " bytes in, " + std::to_string(out.size()) +
                     " out): " + Outcome(ok, error),
                 facts);
        }
    }

    void Handshake(size_t number, const std::vector<uint8_t>& in, const std::vector<uint8_t>& out,
                   bool ok, uint64_t error, oj& facts) {
        const std::string tag(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                           protocol::kPhaseTagSize, in.size())));
        int phase = tag == "Ini1" ? 1 : tag == "Ini2" ? 2 : tag == "Ini3" ? 3 : 0;
        facts["phase"] = phase;
        if (phase == 0) {
            Emit(number, "ioctl",
                 "I/O control " + Hex32(protocol::kIoctlHandshake) +
                     " with an unknown request: " + Outcome(ok, error),
                 facts);
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
        if (ok && phase == 1 && out.size() != protocol::kPhase1Size) {
            text += " (" + std::to_string(out.size()) + " of " +
                    std::to_string(protocol::kPhase1Size) + " bytes returned)";
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
        const bool busy = Field<int>(call.facts, "status", -1) == protocol::status::kBusy;
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
        const int function = Field<int>(call.facts, "function", -1);
        if (function == fn::kWriteIndexedSetting || function == fn::kSetSetupItem) {
            signs_.settingWrite = true;
        }
        if (function == fn::kGetSetupItem) {
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

    // A run's number: a positive integer, or none.
    static std::optional<int64_t> RunNumber(const oj& line) {
        const auto it = line.find("run");
        if (it == line.end() || !it->is_number_integer() ||
            (it->is_number_unsigned() && it->get<uint64_t>() > INT64_MAX) ||
            it->get<int64_t>() < 1) {
            return std::nullopt;
        }
        return it->get<int64_t>();
    }

    // The line a run begins with: which program, with which arguments.
    void Start(size_t number, const oj& line) {
        signs_.Clear();
        const std::optional<int64_t> run = RunNumber(line);
        const std::string program = Field<std::string>(line, "program", "");
        std::string text = "run " + std::to_string(run.value_or(0)) + ": " +
                           (program.empty() ? "(unnamed program)" : program);
        oj args = oj::array();
        if (line.contains("args") && line["args"].is_array()) {
            for (const oj& a : line["args"]) {
                if (a.is_string()) {
                    text += " " + a.get<std::string>();
                    args.push_back(a);
                }
            }
        }
        if (open_.size() == kMaxOpenRuns) {
            open_.pop_front(); // its exit line will read as that of a run without a start line
        }
        open_.push_back({number, run, program});
        Emit(number, "start", text,
             oj{{"run", run ? oj(*run) : oj(nullptr)},
                {"program", program.empty() ? oj(nullptr) : oj(program)},
                {"args", args}});
    }

    // The open run an exit line ends, taken out of the open runs: the one of its run number, or
    // for an exit line without one (older traces, one run at a time) the last one begun.
    std::optional<OpenRun> Close(const oj& line) {
        const std::optional<int64_t> run = RunNumber(line);
        for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
            if (!run || it->run == run) {
                OpenRun closed = *it;
                open_.erase(std::next(it).base());
                return closed;
            }
        }
        if (run) {
            return OpenRun{0, run, ""}; // its start line is not in the trace
        }
        return std::nullopt;
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

    // The program an exit line's status is explained for: the start line's, else --program's,
    // else the one the run's calls point to.
    std::string ProgramOfRun(const std::optional<OpenRun>& run, int64_t status) const {
        if (run && !run->program.empty()) {
            return run->program;
        }
        if (!program_.empty()) {
            return program_;
        }
        return signs_.wifi                    ? "sundrel"
               : signs_.settingWrite          ? "brenvik"
               : signs_.itemRead              ? "tolmare"
               : status == -3 || status == -4 ? "brenvik"
                                              : "";
    }

    void Exit(size_t number, const oj& line) {
        const std::optional<OpenRun> run = Close(line);
        oj facts = {{"run", run && run->run ? oj(*run->run) : oj(nullptr)},
                    {"start_line", run && run->line != 0 ? oj(run->line) : oj(nullptr)}};
        const std::optional<int64_t> readable = ExitStatus(line);
        std::string text;
        if (readable) {
            const std::string program = ProgramOfRun(run, *readable);
            const std::string meaning = ExplainExitStatus(*readable, program);
            text = "exit status " + std::to_string(*readable) + " (" +
                   Hex32(static_cast<uint32_t>(*readable)) + ")" +
                   (program.empty() ? "" : " of " + program) + ": " + meaning;
            facts.update({{"status", *readable},
                          {"program", program.empty() ? oj(nullptr) : oj(program)},
                          {"meaning", meaning}});
        } else {
            // Nothing can be said of the run's outcome.
            const auto it = line.find("status");
            const std::string given = it == line.end() ? "missing" : it->dump();
            text = "exit status unreadable (" + given.substr(0, 80) +
                   "): not a 32-bit status; the run's outcome is unknown";
            facts.update({{"status", nullptr}, {"program", nullptr}, {"meaning", "unreadable"}});
        }
        Emit(number, "exit", text, facts);
        signs_.Clear();
        lastBusy_.reset();
    }

    std::string program_;
    Sink sink_;
    std::deque<OpenRun> open_;    // runs begun and not yet ended, oldest first
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

std::string Hex32(uint32_t word) {
    return Format("0x%08" PRIx64, word);
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
    if (const protocol::Program* known = protocol::FindProgram(program)) {
        return ExitMeaningText(*known, status);
    }
    std::string text;
    for (const protocol::Program& each : protocol::Programs()) {
        text += (text.empty() ? "" : " / ") + std::string(each.name) + ": " +
                ExitMeaningText(each, status);
    }
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
