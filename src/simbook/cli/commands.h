// The `simbook` command's subcommands. Each takes its arguments (after the subcommand's name)
// and returns the process's exit status:
//   0  done
//   1  the operation failed: a file that cannot be read, written or parsed, a key or value the
//      machine-file reader refuses, a machine file held by a running program, a file that
//      exists already; one line on standard error says which
//   2  the command line was wrong; the usage goes to standard error
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace simbook::cli {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

using Args = std::vector<std::string>;

int Show(const Args& args);
int Set(const Args& args);
int Reset(const Args& args);
int New(const Args& args);
int Trace(const Args& args);
// simbook status: prints the full exit status of a trace's last program run; 1 when the trace
// cannot be read, holds no run or its last run has not ended, 2 when no trace is named.
int Status(const Args& args);
// simbook run: its exit status is the procedure's (125 for its own failures), or with --each
// 0 when every row passed, 1 when one failed.
int Run(const Args& args);
// simbook explore: 0 when every check, expectation and the snapshot held, 1 when one failed, 2
// for a wrong command line (keys the key space does not know included), 125 when explore itself
// failed.
int Explore(const Args& args);

// The whole command: `all` is its arguments after the program's name (help, --version or a
// subcommand with its arguments); returns the exit status.
int Main(const Args& all);

// One line "simbook <command>: <problem>" on standard error.
void Complain(const std::string& command, const std::string& problem);

// The subcommand's help text; empty for an unknown command.
std::string HelpText(const std::string& command);

// A subcommand: its name, its synopsis and summary for the overview, its help text, and what
// runs it.
struct Subcommand {
    const char* name;
    const char* synopsis;
    const char* summary;
    int (*run)(const Args& args);
    const char* help;
};
// The subcommand called `name`, or null.
const Subcommand* FindSubcommand(const std::string& name);
// Every subcommand's name and "help", as one text: "show, set, ..., help".
std::string SubcommandNames();

// The machine file a command works on: `given`, else $SIMBOOK, else the default state file
// ($XDG_STATE_HOME/simbook/machine.json, ~/.local/state/simbook/machine.json), which the
// programs create from the built-in default on first use. `create` makes that default file
// when it is missing. Empty, with the problem reported, when there is none.
std::string MachinePath(const std::string& given, bool create);

// Every leaf key of `value` (arrays of objects element by element) with its dotted path
// ("wlan.interfaces[0].scan"), in order.
void Flatten(const nlohmann::ordered_json& value, const std::string& path,
             std::vector<std::pair<std::string, nlohmann::ordered_json>>& out);
// Every leaf key of the built-in default machine, dotted as Flatten writes them, in order.
const std::vector<std::string>& DefaultMachineKeys();
// The value at dotted `key` in `root`, or null when the key is not there or not a key.
const nlohmann::ordered_json* Lookup(const nlohmann::ordered_json& root, const std::string& key);

// Where the ready machines are: beside an installed simbook (<prefix>/share/simbook/machines),
// else the source tree's machines/ folder this simbook was built from.
std::string MachinesDir();
// The names of the ready machines in `dir`, sorted by their bytes: the regular files (or links
// to them) named NAME.json, except hidden ones and names holding a comma or ending in ".json".
std::vector<std::string> ReadyMachines(const std::string& dir);
// The same names as one text, "a, b, c", for messages that list them.
std::string ReadyMachineNames(const std::string& dir);
// The file of the ready machine `name` in `dir`.
std::string ReadyMachinePath(const std::string& dir, const std::string& name);
// A machine as `run --machine`, `run --each` and `new --from` name it.
struct MachineChoice {
    std::string name; // the ready machine's name, or the file's name without folder and ".json"
    std::string path; // the file to read
    bool ready = false;
};
// Resolves `given`, one rule for every command: a file when it holds a '/' or ends in ".json"
// (relative to the current folder), else the ready machine of that name. The file wins for
// "x.json" because that is what a shell completes from the current folder, while a ready
// machine is reached by its bare name. nullopt, with `problem` listing the ready machines, for
// a bare name that is none of them. A file is not opened here: LoadMachineFile tells what is
// wrong with it.
std::optional<MachineChoice> ResolveMachine(const std::string& given, std::string& problem);
// The folder this simbook program lies in; empty when it cannot be told.
std::string SimbookDir();
// The one-line "description" of the ready machine `name` in `dir` (`dir`/`name`.json); empty
// when the file has none, or cannot be read or is not a machine the programs accept.
std::string ReadyMachineDescription(const std::string& dir, const std::string& name);

} // namespace simbook::cli
