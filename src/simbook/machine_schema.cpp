// The machine-file schema: parsing the JSON text into a Machine with every key checked. A key
// that is unknown, of the wrong type or out of range is an error naming the key by its path
// ("driver.auth_key", "wlan.interfaces[0].guid"); nothing is guessed. Pure text in, values out:
// no file is touched here.
#include "simbook/machine.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "simbook/bytes.h"
#include "simbook/json_nesting.h"

namespace simbook {
namespace {

using nlohmann::json;

struct ParseError {
    std::string message; // "key: problem"
};

[[noreturn]] void Fail(const std::string& key, const std::string& problem) {
    throw ParseError{key + ": " + problem};
}

std::string Join(const std::string& prefix, const std::string& key) {
    return prefix.empty() ? key : prefix + "." + key;
}

// Rejects keys of `object` that are not in `allowed`.
void CheckKeys(const json& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const char* k : allowed) {
            if (it.key() == k) {
                known = true;
                break;
            }
        }
        if (!known) {
            Fail(Join(where, it.key()), "unknown key");
        }
    }
}

const json& RequireObject(const json& value, const std::string& key) {
    if (!value.is_object()) {
        Fail(key, "must be an object");
    }
    return value;
}

bool GetBool(const json& value, const std::string& key) {
    if (!value.is_boolean()) {
        Fail(key, "must be true or false");
    }
    return value.get<bool>();
}

int64_t GetInteger(const json& value, const std::string& key, int64_t lo, int64_t hi) {
    if (!value.is_number_integer()) {
        Fail(key, "must be an integer");
    }
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(hi)) {
        Fail(key, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
    }
    int64_t v = value.get<int64_t>();
    if (v < lo || v > hi) {
        Fail(key, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
    }
    return v;
}

std::string GetString(const json& value, const std::string& key) {
    if (!value.is_string()) {
        Fail(key, "must be a string");
    }
    return value.get<std::string>();
}

std::vector<uint8_t> GetHex(const json& value, const std::string& key) {
    std::string text = GetString(value, key);
    if (text.size() % 2 != 0) {
        Fail(key, "hex text must have an even number of digits");
    }
    std::optional<std::vector<uint8_t>> bytes = HexBytes(text);
    if (!bytes) {
        Fail(key, "bad hex digit");
    }
    return std::move(*bytes);
}

// The texts a knob with named values accepts, in the order its error message lists them.
template <class E> struct Choice {
    const char* text;
    E value;
};
template <class E, size_t N> using Choices = std::array<Choice<E>, N>;

constexpr Choices<ScanBehaviour, 4> kScanChoices = {{{"complete", ScanBehaviour::Complete},
                                                     {"fail", ScanBehaviour::Fail},
                                                     {"refuse", ScanBehaviour::Refuse},
                                                     {"silent", ScanBehaviour::Silent}}};
constexpr Choices<ProofFault, 3> kProofChoices = {{{"good", ProofFault::Good},
                                                   {"flip_last_byte", ProofFault::FlipLastByte},
                                                   {"wrong_order", ProofFault::WrongOrder}}};
constexpr Choices<Phase3Fault, 2> kPhase3Choices = {
    {{"good", Phase3Fault::Good}, {"swapped_halves", Phase3Fault::SwappedHalves}}};

// One of the choices' texts, as its value; anything else is an error listing them all:
// must be "a", "b" or "c".
template <class E, size_t N>
E GetChoice(const json& value, const std::string& key, const Choices<E, N>& choices) {
    std::string text = GetString(value, key);
    std::string listed;
    for (size_t i = 0; i < N; ++i) {
        if (text == choices[i].text) {
            return choices[i].value;
        }
        listed += (i == 0       ? ""
                   : i + 1 == N ? " or "
                                : ", ") +
                  std::string("\"") + choices[i].text + "\"";
    }
    Fail(key, "must be " + listed);
}

template <class E, size_t N> const char* ChoiceText(E value, const Choices<E, N>& choices) {
    for (const Choice<E>& c : choices) {
        if (c.value == value) {
            return c.text;
        }
    }
    return choices[0].text;
}

// The elements of an array, each read by `element` under its own key, "key[i]".
template <class Element>
auto GetArray(const json& value, const std::string& key, const char* problem, Element element) {
    if (!value.is_array()) {
        Fail(key, problem);
    }
    std::vector<decltype(element(value, key))> items;
    for (size_t i = 0; i < value.size(); ++i) {
        items.push_back(element(value[i], key + "[" + std::to_string(i) + "]"));
    }
    return items;
}

// A fault key that takes one value for every program run, or a list of 1 to kMaxSequenceLength
// values, one per run, each read by `element` as the one value is. The list (empty for one value)
// goes into `sequence`; returned is the value of the run at `step`: the one value, or the list's
// value at `step`, its last one once `step` is past the end.
template <class T, class Element>
T GetSequence(const json& value, const std::string& key, uint32_t step, std::vector<T>& sequence,
              Element element) {
    sequence.clear();
    if (!value.is_array()) {
        return element(value, key);
    }
    if (value.empty() || value.size() > kMaxSequenceLength) {
        Fail(key, "a list must hold 1 to " + std::to_string(kMaxSequenceLength) + " values, got " +
                      std::to_string(value.size()));
    }
    for (size_t i = 0; i < value.size(); ++i) {
        sequence.push_back(element(value[i], key + "[" + std::to_string(i) + "]"));
    }
    return sequence[std::min<size_t>(step, sequence.size() - 1)];
}

// The "<key>_step" beside a fault key that takes a list: the index of the value the next program
// run takes, 0 when missing. A step beside one value has nothing to count and is ignored.
uint32_t GetStep(const json& object, const std::string& where, const std::string& key) {
    const std::string name = key + "_step";
    if (!object.contains(name)) {
        return 0;
    }
    return static_cast<uint32_t>(
        GetInteger(object[name], Join(where, name), 0, kMaxSequenceLength - 1));
}

int GetBusyReplies(const json& value, const std::string& key) {
    return static_cast<int>(GetInteger(value, key, 0, 1000000));
}

ScanBehaviour GetScan(const json& value, const std::string& key) {
    return GetChoice(value, key, kScanChoices);
}

std::optional<Dword> GetOptionalDword(const json& value, const std::string& key) {
    if (value.is_null()) {
        return std::nullopt;
    }
    return static_cast<Dword>(GetInteger(value, key, 0, 0xFFFFFFFFll));
}

void ParseClock(const json& value, Machine& m) {
    const std::string where = "clock";
    if (value.is_null()) {
        return; // explicit null: the real clock
    }
    RequireObject(value, where);
    CheckKeys(value, where, {"system_time", "performance_counter"});
    m.clock.pinned = true;
    if (value.contains("system_time")) {
        const json& st = value["system_time"];
        const std::string key = "clock.system_time";
        if (!st.is_array() || st.size() != 8) {
            Fail(key, "must be an array of 8 integers");
        }
        uint16_t f[8];
        for (size_t i = 0; i < 8; ++i) {
            f[i] = static_cast<uint16_t>(
                GetInteger(st[i], key + "[" + std::to_string(i) + "]", 0, 0xFFFF));
        }
        m.clock.systemTime = SystemTime{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
    }
    if (value.contains("performance_counter")) {
        m.clock.performanceCounter =
            GetInteger(value["performance_counter"], "clock.performance_counter",
                       std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
    }
}

void ParseFaults(const json& value, DriverFaults& f) {
    const std::string where = "driver.faults";
    RequireObject(value, where);
    CheckKeys(value, where,
              {"probe_error", "phase1_reply_length", "proof", "phase3_reply",
               "capsule_reply_length", "capsule_total_field", "capsule_extra_payload",
               "capsule_empty_payload", "capsule_error", "public_value"});
    auto key = [&](const char* k) { return Join(where, k); };
    if (value.contains("probe_error")) {
        f.probeError = GetOptionalDword(value["probe_error"], key("probe_error"));
    }
    if (value.contains("phase1_reply_length")) {
        f.phase1ReplyLength =
            GetOptionalDword(value["phase1_reply_length"], key("phase1_reply_length"));
    }
    if (value.contains("proof")) {
        f.proof = GetChoice(value["proof"], key("proof"), kProofChoices);
    }
    if (value.contains("phase3_reply")) {
        f.phase3Reply = GetChoice(value["phase3_reply"], key("phase3_reply"), kPhase3Choices);
    }
    if (value.contains("capsule_reply_length")) {
        f.capsuleReplyLength =
            GetOptionalDword(value["capsule_reply_length"], key("capsule_reply_length"));
    }
    if (value.contains("capsule_total_field")) {
        f.capsuleTotalField =
            GetOptionalDword(value["capsule_total_field"], key("capsule_total_field"));
    }
    if (value.contains("capsule_extra_payload")) {
        f.capsuleExtraPayload = static_cast<Dword>(
            GetInteger(value["capsule_extra_payload"], key("capsule_extra_payload"), 0, 4096));
    }
    if (value.contains("capsule_empty_payload")) {
        f.capsuleEmptyPayload =
            GetBool(value["capsule_empty_payload"], key("capsule_empty_payload"));
    }
    if (value.contains("capsule_error")) {
        f.capsuleError = GetOptionalDword(value["capsule_error"], key("capsule_error"));
    }
    if (value.contains("public_value") && !value["public_value"].is_null()) {
        std::vector<uint8_t> bytes = GetHex(value["public_value"], key("public_value"));
        if (bytes.empty() || bytes.size() > kPublicValueBytes) {
            Fail(key("public_value"), "must be 1 to 132 bytes of hex");
        }
        f.publicValue = std::move(bytes);
    }
}

void ParseDriver(const json& value, Machine& m) {
    const std::string where = "driver";
    RequireObject(value, where);
    CheckKeys(value, where,
              {"present", "interfaces", "driver_version", "sessions", "auth_key", "busy_replies",
               "busy_replies_step", "held_by_other_program", "faults"});
    auto& d = m.driver;
    if (value.contains("present")) {
        d.present = GetBool(value["present"], "driver.present");
    }
    if (value.contains("interfaces")) {
        d.interfaces =
            static_cast<int>(GetInteger(value["interfaces"], "driver.interfaces", 0, 16));
    }
    if (value.contains("driver_version")) {
        const json& v = value["driver_version"];
        if (v.is_null()) {
            d.driverVersion.reset();
        } else {
            d.driverVersion = GetString(v, "driver.driver_version");
        }
    }
    if (value.contains("sessions")) {
        d.sessions = GetBool(value["sessions"], "driver.sessions");
    }
    if (value.contains("auth_key")) {
        std::vector<uint8_t> key = GetHex(value["auth_key"], "driver.auth_key");
        if (key.size() != d.authKey.size()) {
            Fail("driver.auth_key",
                 "must be 16 bytes (32 hex digits), got " + std::to_string(key.size()) + " bytes");
        }
        std::copy(key.begin(), key.end(), d.authKey.begin());
    }
    d.busyRepliesStep = GetStep(value, where, "busy_replies");
    if (value.contains("busy_replies")) {
        d.busyReplies = GetSequence(value["busy_replies"], "driver.busy_replies", d.busyRepliesStep,
                                    d.busyRepliesSequence, GetBusyReplies);
    }
    if (value.contains("held_by_other_program")) {
        d.heldByOtherProgram =
            GetBool(value["held_by_other_program"], "driver.held_by_other_program");
    }
    if (value.contains("faults")) {
        ParseFaults(value["faults"], d.faults);
    }
}

// The firmware's fault knobs: an overriding password-state status, functions that fail, and
// the data area of setup item 0x8008.
void ParseFirmwareFaults(const json& value, Machine::Firmware& f) {
    if (value.contains("password_state_status")) {
        const json& v = value["password_state_status"];
        if (v.is_null()) {
            f.passwordStateStatus.reset();
        } else {
            f.passwordStateStatus =
                static_cast<uint8_t>(GetInteger(v, "firmware.password_state_status", 0, 255));
        }
    }
    if (value.contains("failing_functions")) {
        f.failingFunctions = GetArray(value["failing_functions"], "firmware.failing_functions",
                                      "must be an array of function numbers",
                                      [](const json& e, const std::string& key) {
                                          return static_cast<uint8_t>(GetInteger(e, key, 0, 255));
                                      });
    }
    if (value.contains("setting58_stray_bits")) {
        f.setting58StrayBits = static_cast<uint32_t>(GetInteger(
            value["setting58_stray_bits"], "firmware.setting58_stray_bits", 0, 0xFFFFFFFFll));
    }
    if (value.contains("wlan_item_data")) {
        f.wlanItemData = GetHex(value["wlan_item_data"], "firmware.wlan_item_data");
        if (f.wlanItemData.size() > 0xFFFF - 22) {
            Fail("firmware.wlan_item_data", "too long");
        }
    }
}

// The value of setting 58 must fit its width, as in a firmware that stores that many bits (a
// width of 0 holds only 0); stray bits, a fault of the read answer, lie above the width.
void CheckSetting58(const Machine::Firmware& f) {
    const unsigned width = f.setting58Width;
    if (!FitsWidth(f.setting58, width)) {
        Fail("firmware.setting58", std::to_string(f.setting58) + " does not fit setting58_width (" +
                                       std::to_string(width) + " bits): must be between 0 and " +
                                       std::to_string((1ull << width) - 1));
    }
    if (width >= 32 ? f.setting58StrayBits != 0
                    : (f.setting58StrayBits & ((1ull << width) - 1)) != 0) {
        Fail("firmware.setting58_stray_bits",
             "must lie above the " + std::to_string(width) + " bits of setting58_width");
    }
}

void ParseFirmware(const json& value, Machine& m) {
    const std::string where = "firmware";
    RequireObject(value, where);
    CheckKeys(value, where,
              {"wlan_flags", "setting58", "setting58_width", "supervisor_password", "user_password",
               "password_data_length", "password_state_status", "failing_functions",
               "wlan_item_data", "setting58_stray_bits"});
    auto& f = m.firmware;
    if (value.contains("wlan_flags")) {
        f.wlanFlags = static_cast<uint16_t>(
            GetInteger(value["wlan_flags"], "firmware.wlan_flags", 0, 0xFFFF));
    }
    if (value.contains("setting58")) {
        f.setting58 = static_cast<uint32_t>(
            GetInteger(value["setting58"], "firmware.setting58", 0, 0xFFFFFFFFll));
    }
    if (value.contains("setting58_width")) {
        f.setting58Width = static_cast<uint8_t>(
            GetInteger(value["setting58_width"], "firmware.setting58_width", 0, 255));
    }
    if (value.contains("supervisor_password")) {
        f.supervisorPassword =
            GetBool(value["supervisor_password"], "firmware.supervisor_password");
    }
    if (value.contains("user_password")) {
        f.userPassword = GetBool(value["user_password"], "firmware.user_password");
    }
    if (value.contains("password_data_length")) {
        f.passwordDataLength = static_cast<uint16_t>(
            GetInteger(value["password_data_length"], "firmware.password_data_length", 0, 0xFFFF));
    }
    ParseFirmwareFaults(value, f);
    CheckSetting58(f);
}

// A network of an interface: a text SSID, or {"hex": "..."} for raw bytes.
std::vector<uint8_t> GetSsid(const json& e, const std::string& key) {
    std::vector<uint8_t> ssid;
    if (e.is_string()) {
        std::string s = e.get<std::string>();
        ssid.assign(s.begin(), s.end());
    } else if (e.is_object()) {
        CheckKeys(e, key, {"hex"});
        if (!e.contains("hex")) {
            Fail(key + ".hex", "missing");
        }
        ssid = GetHex(e["hex"], key + ".hex");
    } else {
        Fail(key, "must be a text SSID or {\"hex\": \"...\"}");
    }
    if (ssid.size() > kMaxSsidLength) {
        Fail(key, "an SSID has at most 32 bytes");
    }
    return ssid;
}

WlanInterface ParseInterface(const json& value, const std::string& where) {
    RequireObject(value, where);
    CheckKeys(value, where, {"guid", "scan", "scan_step", "networks"});
    WlanInterface wi;
    if (!value.contains("guid")) {
        Fail(Join(where, "guid"), "missing");
    }
    wi.guidText = GetString(value["guid"], Join(where, "guid"));
    if (!ParseGuidText(wi.guidText, wi.guid)) {
        Fail(Join(where, "guid"),
             "must be a braced GUID like {c799c725-24b9-464b-b6c7-5e300dce17d6}");
    }
    if (value.contains("scan")) {
        wi.scanStep = GetStep(value, where, "scan");
        wi.scan =
            GetSequence(value["scan"], Join(where, "scan"), wi.scanStep, wi.scanSequence, GetScan);
    }
    if (value.contains("networks")) {
        wi.networks =
            GetArray(value["networks"], Join(where, "networks"), "must be an array", GetSsid);
    }
    return wi;
}

// The machine's one-line description: text for people and listings, never a control character
// (C0, DEL, or C1 as UTF-8: U+0080 to U+009F), so that it prints as one line and a terminal
// shows it as it is. The JSON reader has already refused text that is not UTF-8.
void CheckDescription(const json& value) {
    const std::string text = GetString(value, "description");
    if (text.size() > kMaxDescriptionLength) {
        Fail("description", "must be at most " + std::to_string(kMaxDescriptionLength) +
                                " bytes, got " + std::to_string(text.size()));
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 =
            c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || c1) {
            Fail("description", "must be one line without control characters");
        }
    }
}

void ParseWlan(const json& value, Machine& m) {
    const std::string where = "wlan";
    RequireObject(value, where);
    CheckKeys(value, where,
              {"library", "ui_library", "missing_entries", "interfaces", "notify_delay_ms",
               "wait_limit_ms"});
    auto& w = m.wlan;
    if (value.contains("library")) {
        w.library = GetBool(value["library"], "wlan.library");
    }
    if (value.contains("ui_library")) {
        w.uiLibrary = GetBool(value["ui_library"], "wlan.ui_library");
    }
    if (value.contains("missing_entries")) {
        w.missingEntries = GetArray(value["missing_entries"], "wlan.missing_entries",
                                    "must be an array of entry point names", GetString);
    }
    if (value.contains("interfaces")) {
        w.interfaces =
            GetArray(value["interfaces"], "wlan.interfaces", "must be an array", ParseInterface);
    }
    if (value.contains("notify_delay_ms")) {
        w.notifyDelayMs = static_cast<Dword>(
            GetInteger(value["notify_delay_ms"], "wlan.notify_delay_ms", 0, 600000));
    }
    if (value.contains("wait_limit_ms")) {
        w.waitLimitMs = GetOptionalDword(value["wait_limit_ms"], "wlan.wait_limit_ms");
    }
}

} // namespace

std::optional<Machine> ParseMachine(const std::string& text, std::string& error) {
    // Counted before parsing: the parsed value is copied and walked recursively.
    if (!NestedWithin(text, kMaxJsonNesting)) {
        error = "(top level): nests deeper than " + std::to_string(kMaxJsonNesting) + " levels";
        return std::nullopt;
    }
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& e) {
        // Syntax errors, and numbers too large for any type (1e999), which the reader refuses
        // with an out-of-range error rather than a parse error.
        error = std::string("not valid JSON: ") + e.what();
        return std::nullopt;
    }
    try {
        Machine m;
        RequireObject(root, "(top level)");
        CheckKeys(
            root, "",
            {"$schema", "description", "ansi_code_page", "clock", "driver", "firmware", "wlan"});
        if (root.contains("$schema")) {
            GetString(root["$schema"], "$schema"); // where editors find the schema; not used
        }
        if (root.contains("description")) {
            CheckDescription(root["description"]); // for people and listings; not used
        }
        if (root.contains("ansi_code_page")) {
            int64_t cp = GetInteger(root["ansi_code_page"], "ansi_code_page", 0, 0xFFFF);
            if (cp != 1252 && cp != 65001) {
                Fail("ansi_code_page", "must be 1252 or 65001");
            }
            m.ansiCodePage = static_cast<uint32_t>(cp);
        }
        if (root.contains("clock")) {
            ParseClock(root["clock"], m);
        }
        if (root.contains("driver")) {
            ParseDriver(root["driver"], m);
        }
        if (root.contains("firmware")) {
            ParseFirmware(root["firmware"], m);
        }
        if (root.contains("wlan")) {
            ParseWlan(root["wlan"], m);
        }
        return m;
    } catch (const ParseError& e) {
        error = e.message;
        return std::nullopt;
    } catch (const json::exception& e) {
        error = std::string("unreadable value: ") + e.what();
        return std::nullopt;
    }
}

namespace {

// Whether an SSID reads as text: UTF-8 without control characters. Others are written as hex.
bool ReadableText(const std::string& text) {
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        return false;
    }
    try {
        (void)nlohmann::json(text).dump(); // throws for text that is not UTF-8
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// The interfaces as the file writes them: an SSID as text when it reads as text, else as hex.
nlohmann::ordered_json InterfacesJson(const std::vector<WlanInterface>& list) {
    using oj = nlohmann::ordered_json;
    oj interfaces = oj::array();
    for (const WlanInterface& wi : list) {
        oj networks = oj::array();
        for (const std::vector<uint8_t>& ssid : wi.networks) {
            const std::string text(ssid.begin(), ssid.end());
            if (ReadableText(text)) {
                networks.push_back(text);
            } else {
                networks.push_back({{"hex", HexText(ssid.data(), ssid.size())}});
            }
        }
        oj entry = {{"guid", wi.guidText}, {"scan", ChoiceText(wi.scan, kScanChoices)}};
        if (!wi.scanSequence.empty()) {
            entry["scan"] = oj::array();
            for (ScanBehaviour b : wi.scanSequence) {
                entry["scan"].push_back(ChoiceText(b, kScanChoices));
            }
            entry["scan_step"] = wi.scanStep;
        }
        entry["networks"] = networks;
        interfaces.push_back(std::move(entry));
    }
    return interfaces;
}

} // namespace

nlohmann::ordered_json MachineJson(const Machine& m) {
    using oj = nlohmann::ordered_json;
    auto optional = [](const auto& value) { return value ? oj(*value) : oj(nullptr); };
    const DriverFaults& f = m.driver.faults;
    const Machine::Firmware& fw = m.firmware;
    oj root = {{"ansi_code_page", m.ansiCodePage}};
    root["clock"] = m.clock.pinned ? oj{{"system_time", m.clock.systemTime},
                                        {"performance_counter", m.clock.performanceCounter}}
                                   : oj(nullptr);
    root["driver"] = {
        {"present", m.driver.present},
        {"interfaces", m.driver.interfaces},
        {"driver_version", optional(m.driver.driverVersion)},
        {"sessions", m.driver.sessions},
        {"auth_key", HexText(m.driver.authKey.data(), m.driver.authKey.size())},
        {"busy_replies", m.driver.busyReplies},
        {"busy_replies_step", nullptr}, // kept for a list only, below
        {"held_by_other_program", m.driver.heldByOtherProgram},
        {"faults",
         {{"probe_error", optional(f.probeError)},
          {"phase1_reply_length", optional(f.phase1ReplyLength)},
          {"proof", ChoiceText(f.proof, kProofChoices)},
          {"phase3_reply", ChoiceText(f.phase3Reply, kPhase3Choices)},
          {"capsule_reply_length", optional(f.capsuleReplyLength)},
          {"capsule_total_field", optional(f.capsuleTotalField)},
          {"capsule_extra_payload", f.capsuleExtraPayload},
          {"capsule_empty_payload", f.capsuleEmptyPayload},
          {"capsule_error", optional(f.capsuleError)},
          {"public_value", f.publicValue ? oj(HexText(f.publicValue->data(), f.publicValue->size()))
                                         : oj(nullptr)}}}};
    if (m.driver.busyRepliesSequence.empty()) {
        root["driver"].erase("busy_replies_step");
    } else {
        root["driver"]["busy_replies"] = m.driver.busyRepliesSequence;
        root["driver"]["busy_replies_step"] = m.driver.busyRepliesStep;
    }
    root["firmware"] = {{"wlan_flags", fw.wlanFlags},
                        {"setting58", fw.setting58},
                        {"setting58_width", fw.setting58Width},
                        {"supervisor_password", fw.supervisorPassword},
                        {"user_password", fw.userPassword},
                        {"password_data_length", fw.passwordDataLength},
                        {"password_state_status", optional(fw.passwordStateStatus)},
                        {"failing_functions", fw.failingFunctions},
                        {"wlan_item_data", HexText(fw.wlanItemData.data(), fw.wlanItemData.size())},
                        {"setting58_stray_bits", fw.setting58StrayBits}};
    root["wlan"] = {{"library", m.wlan.library},
                    {"ui_library", m.wlan.uiLibrary},
                    {"missing_entries", m.wlan.missingEntries},
                    {"interfaces", InterfacesJson(m.wlan.interfaces)},
                    {"notify_delay_ms", m.wlan.notifyDelayMs},
                    {"wait_limit_ms", optional(m.wlan.waitLimitMs)}};
    return root;
}

std::string DefaultMachineText() {
    const Machine m;
    nlohmann::ordered_json interfaces = nlohmann::ordered_json::array();
    for (const WlanInterface& wi : m.wlan.interfaces) {
        nlohmann::ordered_json networks = nlohmann::ordered_json::array();
        for (const std::vector<uint8_t>& ssid : wi.networks) {
            networks.push_back(std::string(ssid.begin(), ssid.end()));
        }
        interfaces.push_back({{"guid", wi.guidText},
                              {"scan", ChoiceText(wi.scan, kScanChoices)},
                              {"networks", networks}});
    }
    const nlohmann::ordered_json root = {
        {"ansi_code_page", m.ansiCodePage},
        {"driver",
         {{"present", m.driver.present},
          {"interfaces", m.driver.interfaces},
          {"driver_version", *m.driver.driverVersion},
          {"sessions", m.driver.sessions},
          {"auth_key", HexText(m.driver.authKey.data(), m.driver.authKey.size())},
          {"busy_replies", m.driver.busyReplies}}},
        {"firmware",
         {{"wlan_flags", m.firmware.wlanFlags},
          {"setting58", m.firmware.setting58},
          {"setting58_width", m.firmware.setting58Width},
          {"supervisor_password", m.firmware.supervisorPassword},
          {"user_password", m.firmware.userPassword},
          {"password_data_length", m.firmware.passwordDataLength}}},
        {"wlan",
         {{"library", m.wlan.library},
          {"ui_library", m.wlan.uiLibrary},
          {"missing_entries", m.wlan.missingEntries},
          {"interfaces", interfaces}}}};
    return root.dump(2) + "\n";
}

} // namespace simbook
