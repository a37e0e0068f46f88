// simbook show, set, reset and new: the machine file read with the programs' own reader
// (simbook::ParseMachine), and changed only into text that reader accepts, through the device's
// exclusive lock and its atomic replace.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "simbook/cli/commands.h"
#include "simbook/cli/options.h"
#include "simbook/driver/store.h"
#include "simbook/file_write.h"
#include "simbook/json_nesting.h"
#include "simbook/machine.h"
#include "simbook/protocol.h"
#include "simbook/trace.h"

namespace simbook::cli {
namespace {

using oj = nlohmann::ordered_json;

// Reads the machine file as the programs do (a regular file of at most kMaxMachineFileSize
// bytes, never waited on); the problem names the file.
bool ReadText(const std::string& path, std::string& text, std::string& problem) {
    if (!ReadMachineText(path, text, problem)) {
        problem = path + ": " + problem;
        return false;
    }
    return true;
}

// Takes the machine file's exclusive lock. Another simbook command holds it for a moment (it
// reads, checks and replaces the file), a program for its whole run: a held lock is waited on
// for kWaitForCommand before it counts as a program's. False, with the problem told, when the
// lock is not had; `missing` then says whether the file does not exist.
constexpr auto kWaitForCommand = std::chrono::seconds(2);

bool LockMachine(const std::string& command, const std::string& path, MachineLock& lock,
                 bool& missing) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitForCommand;
    Dword error = 0;
    while (!lock.Acquire(path, true, error)) {
        missing = error == win32::kFileNotFound;
        if (error != win32::kSharingViolation) {
            if (!missing) {
                Complain(command, path + ": cannot be opened: " + std::strerror(errno));
            }
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Complain(command, path + ": in use: a program has the device open; nothing changed "
                                     "(try again when it has ended)");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    missing = false;
    return true;
}

// ---- Key paths: "wlan.interfaces[0].scan" ---------------------------------------------------

struct Step {
    std::string name; // an object key, or empty for an index
    std::optional<size_t> index;
};

std::optional<std::vector<Step>> ParseKey(const std::string& key) {
    std::vector<Step> steps;
    size_t at = 0;
    while (at < key.size()) {
        size_t end = key.find_first_of(".[", at);
        std::string name = key.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (name.empty()) {
            return std::nullopt;
        }
        steps.push_back({name, std::nullopt});
        at = end == std::string::npos ? key.size() : end;
        while (at < key.size() && key[at] == '[') {
            size_t close = key.find(']', at);
            std::string digits =
                key.substr(at + 1, close == std::string::npos ? 0 : close - at - 1);
            if (close == std::string::npos || digits.empty() || digits.size() > 6 ||
                !std::all_of(digits.begin(), digits.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                return std::nullopt;
            }
            steps.push_back({"", std::stoul(digits)});
            at = close + 1;
        }
        if (at < key.size()) {
            if (key[at] != '.' || at + 1 == key.size()) {
                return std::nullopt;
            }
            ++at;
        }
    }
    if (steps.empty()) {
        return std::nullopt;
    }
    return steps;
}

// The node at `steps[0..count)` of `root`, or null. With `make`, missing objects are made on
// the way, missing arrays are copied from `defaults` (so an element of the default interface
// list keeps its GUID), and an index one past the end appends an element. Whether a missing
// key is an array is told by the step after it, even when that step is past `count`.
oj* Walk(oj& root, const oj& defaults, const std::vector<Step>& steps, size_t count, bool make,
         std::string& problem) {
    oj* node = &root;
    const oj* def = &defaults;
    for (size_t i = 0; i < count; ++i) {
        const Step& s = steps[i];
        if (!s.index) {
            if (!node->is_object()) {
                problem = "is inside a value that is not an object";
                return nullptr;
            }
            const oj* nextDef = def != nullptr && def->is_object() && def->contains(s.name)
                                    ? &(*def)[s.name]
                                    : nullptr;
            if (!node->contains(s.name)) {
                if (!make) {
                    return nullptr;
                }
                const bool wantArray = i + 1 < steps.size() && steps[i + 1].index.has_value();
                (*node)[s.name] = wantArray && nextDef != nullptr && nextDef->is_array()
                                      ? *nextDef
                                      : (wantArray ? oj::array() : oj::object());
            }
            node = &(*node)[s.name];
            def = nextDef;
            continue;
        }
        if (!node->is_array()) {
            problem = "is inside a value that is not an array";
            return nullptr;
        }
        const size_t at = *s.index;
        if (at == node->size() && make) {
            node->push_back(oj::object());
        } else if (at >= node->size()) {
            problem = "index " + std::to_string(at) + " is past the end (" +
                      std::to_string(node->size()) + " elements)";
            return nullptr;
        }
        node = &(*node)[at];
        def = def != nullptr && def->is_array() && at < def->size() ? &(*def)[at] : nullptr;
    }
    return node;
}

// The machine text to write after `edit` changed the parsed file, checked by the reader.
std::optional<std::string> Checked(const oj& root, std::string& problem) {
    std::string text = root.dump(2) + "\n";
    if (!ParseMachine(text, problem)) {
        return std::nullopt;
    }
    return text;
}

// Takes the machine file's exclusive lock, reads and edits it, and replaces it when the edit
// gives text the reader accepts. `edit` returns false (with a problem) to change nothing.
template <class Edit> int Rewrite(const std::string& command, const std::string& path, Edit edit) {
    MachineLock lock;
    bool missing = false;
    if (!LockMachine(command, path, lock, missing)) {
        if (missing) {
            Complain(command, path + ": no such file (create one with simbook new)");
        }
        return kFailed;
    }
    // Read as the programs read it: a FIFO, a device or a directory is refused, never replaced.
    std::string text;
    std::string problem;
    if (!ReadText(path, text, problem)) {
        Complain(command, problem + "; nothing changed");
        return kFailed;
    }
    std::optional<std::string> updated = edit(text, problem);
    if (!updated) {
        Complain(command, path + ": " + problem + "; nothing changed");
        return kFailed;
    }
    if (*updated == text) {
        return kDone;
    }
    if (!lock.Replace(*updated, problem)) {
        Complain(command, path + ": cannot be written: " + problem + "; nothing changed");
        return kFailed;
    }
    return kDone;
}

std::optional<oj> ParseFileText(const std::string& text, std::string& problem) {
    if (!NestedWithin(text, kMaxJsonNesting)) {
        problem = "nests deeper than " + std::to_string(kMaxJsonNesting) + " levels";
        return std::nullopt;
    }
    oj root = oj::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        problem = "not a JSON object (simbook reset writes the default machine)";
        return std::nullopt;
    }
    return root;
}

// ---- show -----------------------------------------------------------------------------------

struct Item {
    const char* name;
    std::optional<bool> on; // nullopt: tolmare cannot read it and fails
    int bit;
};

// The report's items as the check tool reads them from the firmware values.
std::vector<Item> Items(const Machine& m) {
    const Machine::Firmware& f = m.firmware;
    const std::optional<protocol::SwitchState> sw =
        protocol::SwitchFromSetting(protocol::ValueInWidth(f.setting58, f.setting58Width));
    // Function 0x05 answers "set" or "not set" unless the machine names its status.
    auto password = [&](bool set) {
        return protocol::PasswordSet(f.passwordStateStatus ? *f.passwordStateStatus
                                     : set                 ? protocol::status::kDone
                                                           : protocol::status::kPasswordNotSet);
    };
    const std::optional<bool> on[] = {
        protocol::WlanOn(f.wlanFlags),
        sw ? std::optional<bool>(sw->switchOn) : std::nullopt,
        sw ? std::optional<bool>(sw->displayOn) : std::nullopt,
        password(f.supervisorPassword),
        password(f.userPassword),
    };
    std::vector<Item> items;
    for (const protocol::ReportItem& r : protocol::kReportItems) {
        items.push_back({r.name, on[r.item], r.bit});
    }
    return items;
}

std::string ValueText(const oj& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// What `show` prints, in either form.
struct ShowView {
    std::string path;
    oj machine;                    // every key with its value
    oj items = oj::object();       // "ENABLE", "DISABLE" or null (unreadable)
    std::optional<int32_t> status; // tolmare's exit status when every item reads
    std::vector<std::pair<std::string, oj>> keys;
    oj defaults;
};

ShowView View(const std::string& path, const LoadedMachine& loaded) {
    ShowView view;
    view.path = path;
    view.machine = loaded.json;
    int32_t status = 0;
    bool readable = true;
    for (const Item& item : Items(loaded.machine)) {
        view.items[item.name] = item.on ? oj(*item.on ? "ENABLE" : "DISABLE") : oj(nullptr);
        readable = readable && item.on.has_value();
        if (item.on.value_or(false)) {
            status |= static_cast<int32_t>(1u << item.bit);
        }
    }
    if (readable) {
        view.status = status;
    }
    Flatten(view.machine, "", view.keys);
    view.defaults = MachineJson(Machine{});
    return view;
}

bool IsDefault(const ShowView& view, const std::string& key, const oj& value) {
    const oj* def = Lookup(view.defaults, key);
    return def != nullptr && *def == value;
}

void PrintJson(const ShowView& view) {
    oj out = {{"file", view.path}, {"items", view.items}};
    out["status"] = view.status ? oj(*view.status) : oj(nullptr);
    out["machine"] = view.machine;
    out["keys"] = oj::array();
    for (const auto& [key, value] : view.keys) {
        out["keys"].push_back(
            {{"key", key}, {"value", value}, {"default", IsDefault(view, key, value)}});
    }
    std::printf("%s\n", out.dump(2).c_str());
}

// Text output is one line a key: the path and text values are escaped.
void PrintText(const ShowView& view) {
    std::printf("machine file %s\n\nitems, as tolmare reports them:\n",
                EscapedForLine(view.path).c_str());
    for (auto it = view.items.begin(); it != view.items.end(); ++it) {
        std::printf("  %-22s %s\n", it.key().c_str(),
                    it->is_null() ? "(unreadable: tolmare fails)" : it->get<std::string>().c_str());
    }
    if (view.status) {
        std::printf("  tolmare's exit status when every read succeeds: %d (0x%08x)\n", *view.status,
                    static_cast<unsigned>(*view.status));
    }
    std::printf("\nkeys:\n");
    for (const auto& [key, value] : view.keys) {
        std::printf("  %-36s %s%s\n", EscapedForLine(key).c_str(),
                    EscapedForLine(ValueText(value)).c_str(),
                    IsDefault(view, key, value) ? "  (default)" : "");
    }
}

// ---- set ------------------------------------------------------------------------------------

struct Assignment {
    std::string key; // as given
    std::vector<Step> steps;
    oj value;
};

// Parses KEY=VALUE arguments; a value that is not JSON is taken as a string. Returns kDone, or
// the exit status with the problem told.
int ParseAssignments(const Args& args, std::vector<Assignment>& out) {
    for (const std::string& a : args) {
        const size_t eq = a.find('=');
        std::optional<std::vector<Step>> steps =
            eq == std::string::npos ? std::nullopt : ParseKey(a.substr(0, eq));
        if (!steps) {
            Complain("set", "'" + a +
                                "' is not KEY=VALUE with a key like firmware.setting58 or "
                                "wlan.interfaces[0].scan");
            return kUsage;
        }
        const std::string text = a.substr(eq + 1);
        // Counted before anything is parsed or built: the key's steps and the value's own
        // nesting together are how deep the value lands in the file.
        if (steps->size() > static_cast<size_t>(kMaxJsonNesting) ||
            !NestedWithin(text, kMaxJsonNesting - static_cast<int>(steps->size()))) {
            Complain("set", a.substr(0, std::min<size_t>(eq, 80)) + ": nests deeper than " +
                                std::to_string(kMaxJsonNesting) +
                                " levels with its key; nothing changed");
            return kFailed;
        }
        oj value = oj::parse(text, nullptr, false);
        out.push_back(
            {a.substr(0, eq), std::move(*steps), value.is_discarded() ? oj(text) : value});
    }
    return kDone;
}

// Puts one assignment into `root`: an object key is set, an array element replaced, and the
// index one past an array's end appends.
bool Assign(oj& root, const oj& defaults, const Assignment& a, std::string& problem) {
    std::string where;
    oj* parent = Walk(root, defaults, a.steps, a.steps.size() - 1, true, where);
    const Step& last = a.steps.back();
    if (parent != nullptr && !last.index && parent->is_object()) {
        (*parent)[last.name] = a.value;
        return true;
    }
    if (parent != nullptr && last.index && parent->is_array() && *last.index <= parent->size()) {
        if (*last.index == parent->size()) {
            parent->push_back(a.value);
        } else {
            (*parent)[*last.index] = a.value;
        }
        return true;
    }
    problem = a.key + ": " + (where.empty() ? "cannot be set here" : where);
    return false;
}

// ---- reset ----------------------------------------------------------------------------------

// Removes `steps` from `root`, so that the reader's default applies; false when it is not there.
bool Remove(oj& root, const std::vector<Step>& steps) {
    std::string where;
    oj* parent = Walk(root, oj(), steps, steps.size() - 1, false, where);
    const Step& last = steps.back();
    if (parent != nullptr && !last.index && parent->is_object() && parent->contains(last.name)) {
        parent->erase(last.name);
        return true;
    }
    if (parent != nullptr && last.index && parent->is_array() && *last.index < parent->size()) {
        parent->erase(*last.index);
        return true;
    }
    return false;
}

// Whether the reader refuses `a.key` as a key it does not know, as set would be told: the key is
// set (to null) in a copy of `root`, and the reader's problem with that copy kept when it is so.
bool UnknownKey(const oj& root, const Assignment& a, std::string& problem) {
    oj probe = root;
    std::string found;
    if (!Assign(probe, oj::parse(DefaultMachineText()), a, found) ||
        Checked(probe, found).has_value()) {
        return false;
    }
    const std::string unknown = ": unknown key";
    if (!found.ends_with(unknown)) {
        return false;
    }
    problem = found;
    return true;
}

} // namespace

// Every leaf key of `value` (arrays of objects element by element), with its path.
void Flatten(const oj& value, const std::string& path,
             std::vector<std::pair<std::string, oj>>& out) {
    if (value.is_object() && !value.empty()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            Flatten(*it, path.empty() ? it.key() : path + "." + it.key(), out);
        }
        return;
    }
    if (value.is_array() && !value.empty() &&
        std::all_of(value.begin(), value.end(),
                    [](const oj& e) { return e.is_object() && e.size() > 1; })) {
        for (size_t i = 0; i < value.size(); ++i) {
            Flatten(value[i], path + "[" + std::to_string(i) + "]", out);
        }
        return;
    }
    out.emplace_back(path, value);
}

const std::vector<std::string>& DefaultMachineKeys() {
    static const std::vector<std::string> names = [] {
        std::vector<std::pair<std::string, oj>> keys;
        Flatten(MachineJson(Machine{}), "", keys);
        std::vector<std::string> out;
        out.reserve(keys.size());
        for (const auto& entry : keys) {
            out.push_back(entry.first);
        }
        return out;
    }();
    return names;
}

const oj* Lookup(const oj& root, const std::string& key) {
    std::optional<std::vector<Step>> steps = ParseKey(key);
    if (!steps) {
        return nullptr;
    }
    const oj* node = &root;
    for (const Step& s : *steps) {
        if (!s.index) {
            if (!node->is_object() || !node->contains(s.name)) {
                return nullptr;
            }
            node = &(*node)[s.name];
        } else {
            if (!node->is_array() || *s.index >= node->size()) {
                return nullptr;
            }
            node = &(*node)[*s.index];
        }
    }
    return node;
}

int Show(const Args& given) {
    const std::optional<ShowOptions> o = ParseShow(given);
    if (!o) {
        return kUsage;
    }
    const bool json = o->json;
    const std::string path = MachinePath(o->file, true);
    if (path.empty()) {
        return kFailed;
    }
    std::string problem;
    const std::optional<LoadedMachine> loaded = LoadMachineFile(path, problem);
    if (!loaded) {
        Complain("show", path + ": " + problem);
        return kFailed;
    }
    const ShowView view = View(path, *loaded);
    if (json) {
        PrintJson(view);
    } else {
        PrintText(view);
    }
    return kDone;
}

int Set(const Args& given) {
    const std::optional<SetOptions> o = ParseSet(given);
    if (!o) {
        return kUsage;
    }
    std::vector<Assignment> assignments;
    if (const int status = ParseAssignments(o->args, assignments); status != kDone) {
        return status;
    }
    const std::string path = MachinePath(o->file, true);
    if (path.empty()) {
        return kFailed;
    }
    const oj defaults = oj::parse(DefaultMachineText());
    return Rewrite("set", path, [&](const std::string& text, std::string& problem) {
        std::optional<oj> root = ParseFileText(text, problem);
        if (!root) {
            return std::optional<std::string>();
        }
        for (const Assignment& a : assignments) {
            if (!Assign(*root, defaults, a, problem)) {
                return std::optional<std::string>();
            }
        }
        return Checked(*root, problem);
    });
}

int Reset(const Args& given) {
    const std::optional<ResetOptions> o = ParseReset(given);
    if (!o) {
        return kUsage;
    }
    std::vector<std::vector<Step>> keys;
    for (const std::string& a : o->args) {
        std::optional<std::vector<Step>> steps = ParseKey(a);
        if (!steps || a.rfind("--", 0) == 0) {
            Complain("reset", "'" + a + "' is not a key like firmware.setting58");
            return kUsage;
        }
        keys.push_back(std::move(*steps));
    }
    const std::string path = MachinePath(o->file, true);
    if (path.empty()) {
        return kFailed;
    }
    return Rewrite("reset", path, [&](const std::string& text, std::string& problem) {
        if (keys.empty()) {
            return std::optional<std::string>(DefaultMachineText());
        }
        std::optional<oj> root = ParseFileText(text, problem);
        if (!root) {
            return std::optional<std::string>();
        }
        for (size_t i = 0; i < keys.size(); ++i) {
            if (Remove(*root, keys[i])) {
                continue;
            }
            if (UnknownKey(*root, {o->args[i], keys[i], oj()}, problem)) {
                return std::optional<std::string>();
            }
            Complain("reset", o->args[i] + ": not in " + path + " (already the default)");
        }
        return Checked(*root, problem);
    });
}

// ---- ready machines -------------------------------------------------------------------------

std::string SimbookDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

std::string MachinesDir() {
    const std::string self = SimbookDir();
    if (!self.empty()) {
        std::error_code ec;
        const std::filesystem::path installed =
            std::filesystem::path(self).parent_path() / "share" / "simbook" / "machines";
        if (std::filesystem::is_directory(installed, ec)) {
            return installed.string();
        }
    }
    return SIMBOOK_SOURCE_MACHINES_DIR;
}

namespace {

// A name that ResolveMachine takes for a ready machine and that a list of names separated by
// commas can hold; hidden files (an editor's copies) are no machines.
bool IsReadyMachineName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find(',') == std::string::npos &&
           !name.ends_with(".json");
}

} // namespace

std::vector<std::string> ReadyMachines(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code kind;
        const std::string name = entry.path().stem().string();
        if (entry.path().extension() == ".json" && entry.is_regular_file(kind) &&
            IsReadyMachineName(name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadyMachineNames(const std::string& dir) {
    std::string names;
    for (const std::string& name : ReadyMachines(dir)) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

std::string ReadyMachinePath(const std::string& dir, const std::string& name) {
    return dir + "/" + name + ".json";
}

std::string ReadyMachineDescription(const std::string& dir, const std::string& name) {
    std::string problem;
    // The machine reader checks the description (one line, bounded) along with the rest.
    const std::optional<LoadedMachine> loaded =
        LoadMachineFile(ReadyMachinePath(dir, name), problem);
    if (!loaded) {
        return {};
    }
    const oj root = oj::parse(loaded->text, nullptr, false);
    const auto it = root.find("description");
    return it != root.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<MachineChoice> ResolveMachine(const std::string& given, std::string& problem) {
    if (given.find('/') != std::string::npos || given.ends_with(".json")) {
        return MachineChoice{std::filesystem::path(given).stem().string(), given, false};
    }
    const std::string dir = MachinesDir();
    const std::vector<std::string> names = ReadyMachines(dir);
    if (std::find(names.begin(), names.end(), given) == names.end()) {
        problem = "no ready machine '" + given + "' (ready machines: " + ReadyMachineNames(dir) +
                  "; a file needs a / or .json)";
        return std::nullopt;
    }
    return MachineChoice{given, ReadyMachinePath(dir, given), true};
}

// ---- new ------------------------------------------------------------------------------------

namespace {

// Writes `text` as a new file at `path`; an existing file is kept.
bool WriteNew(const std::string& path, const std::string& text, std::string& problem) {
    bool existed = false;
    if (CreateFileAtomically(path, text, problem, existed)) {
        return true;
    }
    struct stat st {};
    if (existed) {
        problem = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                      ? "is a directory, not a machine file"
                  : S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0
                      ? "is a symbolic link to a file that does not exist"
                      : "exists already (--force replaces it)";
    }
    return false;
}

const char* NotRegular(mode_t mode) {
    return S_ISDIR(mode)                    ? "is a directory, not a machine file"
           : S_ISFIFO(mode)                 ? "is a FIFO, not a regular file"
           : S_ISCHR(mode) || S_ISBLK(mode) ? "is a device, not a regular file"
                                            : "is not a regular file";
}

// Replaces the machine file at `path` with `text` as `set` and `reset` do: under the device's
// exclusive lock, atomically, following a symbolic link, keeping the mode, refusing a file with
// other names, a read-only file and anything that is not a regular file. A file that does not
// exist is created. False, with the problem told, when nothing was written.
bool Overwrite(const std::string& path, const std::string& text) {
    MachineLock lock;
    bool missing = false;
    std::string problem;
    if (LockMachine("new", path, lock, missing)) {
        // Only a machine file is replaced: a device, a FIFO or a folder the name leads to is
        // refused in the reader's words (its content is not read: --force may replace a file
        // the reader refuses).
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            Complain("new", path + ": " + NotRegular(st.st_mode) + "; nothing changed");
            return false;
        }
        if (!lock.Replace(text, problem)) {
            Complain("new", path + ": " + problem + "; nothing changed");
            return false;
        }
        return true;
    }
    if (!missing) {
        return false;
    }
    if (!WriteNew(path, text, problem)) {
        Complain("new", path + ": " + problem);
        return false;
    }
    return true;
}

// One ready machine a line, its name first (scripts take the first word), descriptions in one
// column.
void ListReadyMachines() {
    const std::string dir = MachinesDir();
    const std::vector<std::string> names = ReadyMachines(dir);
    size_t width = 0;
    for (const std::string& name : names) {
        width = std::max(width, name.size());
    }
    for (const std::string& name : names) {
        const std::string description = ReadyMachineDescription(dir, name);
        if (description.empty()) {
            std::printf("%s\n", EscapedForLine(name).c_str());
        } else {
            std::printf("%-*s  %s\n", static_cast<int>(width), EscapedForLine(name).c_str(),
                        EscapedForLine(description).c_str());
        }
    }
}

// The text of the machine `from` names (the built-in default when empty), with its file in
// `source`; nullopt with the problem told.
std::optional<std::string> SourceText(const std::string& from, std::string& source) {
    if (from.empty()) {
        return DefaultMachineText();
    }
    std::string problem;
    const std::optional<MachineChoice> choice = ResolveMachine(from, problem);
    if (!choice) {
        Complain("new", problem);
        return std::nullopt;
    }
    source = choice->path;
    std::optional<LoadedMachine> loaded = LoadMachineFile(source, problem);
    if (!loaded) {
        Complain("new", source + ": " + problem);
        return std::nullopt;
    }
    return std::move(loaded->text);
}

} // namespace

int New(const Args& args) {
    const std::optional<NewOptions> parsed = ParseNew(args);
    if (!parsed) {
        return kUsage;
    }
    const NewOptions& o = *parsed;
    if (o.from == "list") {
        ListReadyMachines();
        return kDone;
    }
    std::string source;
    const std::optional<std::string> text = SourceText(o.from, source);
    if (!text) {
        return kFailed;
    }
    const std::string path = MachinePath(o.file, false);
    if (path.empty()) {
        return kFailed;
    }
    // The machine it starts from is never written over, whatever name leads to it.
    if (!source.empty() && SameFile(source, path)) {
        Complain("new",
                 path + ": is the machine it would start from (" + source + "); nothing changed");
        return kFailed;
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
    }
    std::string problem;
    if (o.force) {
        if (!Overwrite(path, *text)) {
            return kFailed;
        }
    } else if (!WriteNew(path, *text, problem)) {
        Complain("new", path + ": " + problem);
        return kFailed;
    }
    std::printf("%s\n", EscapedForLine(path).c_str());
    return kDone;
}

} // namespace simbook::cli
