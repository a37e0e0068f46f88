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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "simbook/cli/commands.h"
#include "simbook/driver/store.h"
#include "simbook/json_nesting.h"
#include "simbook/machine.h"
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
// list keeps its GUID), and an index one past the end appends an element.
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
                const bool wantArray = i + 1 < count && steps[i + 1].index.has_value();
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

// Splits "--file FILE" off the arguments.
bool TakeFileOption(const std::string& command, Args& args, std::string& file) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--file" || args[i] == "-f") {
            if (i + 1 >= args.size()) {
                Complain(command, "--file needs a file name");
                return false;
            }
            file = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i + 2));
            return true;
        }
    }
    return true;
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

// The five items as the check tool decodes the firmware values.
std::vector<Item> Items(const Machine& m) {
    const Machine::Firmware& f = m.firmware;
    std::vector<Item> items;
    const int wlan = (f.wlanFlags & 0x0100) != 0 ? (f.wlanFlags & 3) : (f.wlanFlags & 1);
    items.push_back({"WLAN", wlan <= 1 ? std::optional<bool>(wlan == 1) : std::nullopt, 16});
    const uint32_t width = f.setting58Width;
    const uint32_t value = width >= 32 ? f.setting58 : f.setting58 & ((1u << width) - 1);
    const bool readable = value <= 3;
    items.push_back(
        {"WirelessSwitch", readable ? std::optional<bool>((value & 1) != 0) : std::nullopt, 20});
    items.push_back({"WirelessSwitchDisplay",
                     readable ? std::optional<bool>((value & 2) == 0) : std::nullopt, 21});
    auto password = [&](bool set) -> std::optional<bool> {
        if (!f.passwordStateStatus) {
            return set;
        }
        if (*f.passwordStateStatus == 0 || *f.passwordStateStatus == 2) {
            return *f.passwordStateStatus == 0;
        }
        return std::nullopt;
    };
    items.push_back({"SupervisorPassword", password(f.supervisorPassword), 24});
    items.push_back({"UserPassword", password(f.userPassword), 25});
    return items;
}

std::string ValueText(const oj& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
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
    bool json = false;
    std::string file;
    for (const std::string& a : given) {
        if (a == "--json") {
            json = true;
        } else if (file.empty() && a.rfind("--", 0) != 0) {
            file = a;
        } else {
            Complain("show", "unexpected argument '" + a + "' (see simbook show --help)");
            return kUsage;
        }
    }
    const std::string path = MachinePath(file, true);
    if (path.empty()) {
        return kFailed;
    }
    std::string text;
    std::string problem;
    if (!ReadText(path, text, problem)) {
        Complain("show", problem);
        return kFailed;
    }
    std::optional<Machine> machine = ParseMachine(text, problem);
    if (!machine) {
        Complain("show", path + ": " + problem);
        return kFailed;
    }
    std::vector<std::pair<std::string, oj>> keys;
    Flatten(MachineJson(*machine), "", keys);
    const oj defaults = MachineJson(Machine{});

    oj items = oj::object();
    int32_t status = 0;
    bool readable = true; // tolmare reads every item
    for (const Item& item : Items(*machine)) {
        items[item.name] = item.on ? oj(*item.on ? "ENABLE" : "DISABLE") : oj(nullptr);
        readable = readable && item.on.has_value();
        if (item.on.value_or(false)) {
            status |= 1 << item.bit;
        }
    }
    if (json) {
        oj out = {{"file", path}, {"items", items}};
        out["status"] = readable ? oj(status) : oj(nullptr);
        out["machine"] = MachineJson(*machine);
        out["keys"] = oj::array();
        for (const auto& [key, value] : keys) {
            const oj* def = Lookup(defaults, key);
            out["keys"].push_back(
                {{"key", key}, {"value", value}, {"default", def && *def == value}});
        }
        std::printf("%s\n", out.dump(2).c_str());
        return kDone;
    }
    // Text output is one line a key: the path and text values are escaped.
    std::printf("machine file %s\n\nitems, as tolmare reports them:\n",
                EscapedForLine(path).c_str());
    for (auto it = items.begin(); it != items.end(); ++it) {
        std::printf("  %-22s %s\n", it.key().c_str(),
                    it->is_null() ? "(unreadable: tolmare fails)" : it->get<std::string>().c_str());
    }
    if (readable) {
        std::printf("  tolmare's exit status when every read succeeds: %d (0x%08x)\n", status,
                    static_cast<unsigned>(status));
    }
    std::printf("\nkeys:\n");
    for (const auto& [key, value] : keys) {
        const oj* def = Lookup(defaults, key);
        std::printf("  %-36s %s%s\n", EscapedForLine(key).c_str(),
                    EscapedForLine(ValueText(value)).c_str(),
                    def && *def == value ? "  (default)" : "");
    }
    return kDone;
}

int Set(const Args& given) {
    Args args = given;
    std::string file;
    if (!TakeFileOption("set", args, file)) {
        return kUsage;
    }
    if (args.empty()) {
        Complain("set", "nothing to set (simbook set [--file FILE] KEY=VALUE...)");
        return kUsage;
    }
    std::vector<std::pair<std::vector<Step>, oj>> assignments;
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
        assignments.emplace_back(std::move(*steps), value.is_discarded() ? oj(text) : value);
    }
    const std::string path = MachinePath(file, true);
    if (path.empty()) {
        return kFailed;
    }
    const oj defaults = oj::parse(DefaultMachineText());
    return Rewrite("set", path, [&](const std::string& text, std::string& problem) {
        std::optional<oj> root = ParseFileText(text, problem);
        if (!root) {
            return std::optional<std::string>();
        }
        for (size_t i = 0; i < assignments.size(); ++i) {
            const auto& [steps, value] = assignments[i];
            std::string where;
            oj* parent = Walk(*root, defaults, steps, steps.size() - 1, true, where);
            const Step& last = steps.back();
            if (parent != nullptr && !last.index && parent->is_object()) {
                (*parent)[last.name] = value;
                continue;
            }
            if (parent != nullptr && last.index && parent->is_array() &&
                *last.index <= parent->size()) {
                if (*last.index == parent->size()) {
                    parent->push_back(value);
                } else {
                    (*parent)[*last.index] = value;
                }
                continue;
            }
            problem = args[i].substr(0, args[i].find('=')) + ": " +
                      (where.empty() ? "cannot be set here" : where);
            return std::optional<std::string>();
        }
        return Checked(*root, problem);
    });
}

int Reset(const Args& given) {
    Args args = given;
    std::string file;
    if (!TakeFileOption("reset", args, file)) {
        return kUsage;
    }
    std::vector<std::vector<Step>> keys;
    for (const std::string& a : args) {
        std::optional<std::vector<Step>> steps = ParseKey(a);
        if (!steps || a.rfind("--", 0) == 0) {
            Complain("reset", "'" + a + "' is not a key like firmware.setting58");
            return kUsage;
        }
        keys.push_back(std::move(*steps));
    }
    const std::string path = MachinePath(file, true);
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
            std::string where;
            oj* parent = Walk(*root, oj(), keys[i], keys[i].size() - 1, false, where);
            const Step& last = keys[i].back();
            if (parent != nullptr && !last.index && parent->is_object() &&
                parent->contains(last.name)) {
                parent->erase(last.name);
            } else if (parent != nullptr && last.index && parent->is_array() &&
                       *last.index < parent->size()) {
                parent->erase(*last.index);
            } else {
                Complain("reset", args[i] + ": not in " + path + " (already the default)");
            }
        }
        return Checked(*root, problem);
    });
}

// Where the ready machines are: beside an installed simbook (<prefix>/share/simbook/machines),
// else the source tree's machines/ folder this simbook was built from.
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

std::vector<std::string> ReadyMachines(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".json") {
            names.push_back(entry.path().stem().string());
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
    std::string text;
    std::string problem;
    // The machine reader checks the description (one line, bounded) along with the rest.
    if (!ReadMachineText(ReadyMachinePath(dir, name), text, problem) ||
        !ParseMachine(text, problem)) {
        return {};
    }
    const oj root = oj::parse(text, nullptr, false);
    const auto it = root.find("description");
    return it != root.end() && it->is_string() ? it->get<std::string>() : std::string();
}

namespace {

// Writes `text` as a new file at `path`, created exclusively.
bool WriteNew(const std::string& path, const std::string& text, std::string& problem) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int saved = errno;
        struct stat st {};
        problem = saved != EEXIST ? std::string("cannot be created: ") + std::strerror(saved)
                  : lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                      ? "is a directory, not a machine file"
                  : S_ISLNK(st.st_mode) ? "is a symbolic link to a file that does not exist"
                                        : "exists already (--force replaces it)";
        return false;
    }
    bool ok =
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        problem = std::string("cannot be written: ") + std::strerror(saved);
        unlink(path.c_str());
    }
    return ok;
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
            Complain("new", path + ": " +
                                (S_ISDIR(st.st_mode)    ? "is a directory, not a machine file"
                                 : S_ISFIFO(st.st_mode) ? "is a FIFO, not a regular file"
                                 : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)
                                     ? "is a device, not a regular file"
                                     : "is not a regular file") +
                                "; nothing changed");
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

} // namespace

int New(const Args& args) {
    std::string from;
    std::string file;
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--from" && i + 1 < args.size()) {
            from = args[++i];
        } else if (args[i] == "--force") {
            force = true;
        } else if (file.empty() && args[i].rfind("--", 0) != 0) {
            file = args[i];
        } else {
            Complain("new", "unexpected argument '" + args[i] + "' (see simbook new --help)");
            return kUsage;
        }
    }
    const std::string dir = MachinesDir();
    if (from == "list") {
        // One machine a line, its name first (scripts take the first word), descriptions in
        // one column.
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
        return kDone;
    }
    std::string text = DefaultMachineText();
    std::string problem;
    if (!from.empty()) {
        const std::string source = from.find('/') != std::string::npos ? from
                                   : from.size() > 5 && from.substr(from.size() - 5) == ".json"
                                       ? dir + "/" + from
                                       : ReadyMachinePath(dir, from);
        if (!ReadText(source, text, problem)) {
            if (from.find('/') != std::string::npos) {
                Complain("new", problem);
                return kFailed;
            }
            Complain("new",
                     "no machine '" + from + "' (ready machines: " + ReadyMachineNames(dir) + ")");
            return kFailed;
        }
        if (!ParseMachine(text, problem)) {
            Complain("new", source + ": " + problem);
            return kFailed;
        }
    }
    const std::string path = MachinePath(file, false);
    if (path.empty()) {
        return kFailed;
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
    }
    if (force) {
        if (!Overwrite(path, text)) {
            return kFailed;
        }
    } else if (!WriteNew(path, text, problem)) {
        Complain("new", path + ": " + problem);
        return kFailed;
    }
    std::printf("%s\n", EscapedForLine(path).c_str());
    return kDone;
}

} // namespace simbook::cli
