// Help texts, complaints and the machine file a command works on.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "simbook/cli/commands.h"
#include "simbook/cli/key_space.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook::cli {
namespace {

// The subcommands in one table: dispatch, the overview and the "no such command" message (and,
// through `simbook help`, the shell's completion) all take them from here.
const Subcommand kSubcommands[] = {
    {"show", "[--json] [FILE]", "the machine: items as tolmare reports them, keys", Show,
     "usage: simbook show [--json] [FILE]\n"
     "\n"
     "Shows the machine FILE describes: the five items as tolmare would report them (and its\n"
     "exit status when every read succeeds), then every key of the machine file with its\n"
     "value, keys at their built-in default marked \"(default)\". --json: one JSON object\n"
     "{\"file\", \"items\", \"status\", \"keys\": [{\"key\", \"value\", \"default\"}],\n"
     "\"machine\": every key with its value}.\n"},
    {"set", "[--file FILE] KEY=VALUE...", "change keys, checked as the programs read them", Set,
     "usage: simbook set [--file FILE] KEY=VALUE...\n"
     "\n"
     "Sets machine-file keys. KEY is the dotted path of the key, with [N] for an element of\n"
     "an array: firmware.setting58, driver.faults.capsule_reply_length,\n"
     "wlan.interfaces[0].scan (N may be one past the last element: a new one). VALUE is read\n"
     "as JSON when it is JSON (3, true, null, [1,2], \"text\"), otherwise as text\n"
     "(wlan.interfaces[0].scan=fail). Quote text that reads as a number: "
     "auth_key='\"00...\"'.\n"
     "The whole file is checked by the programs' own reader before it is written; a key or\n"
     "value the reader refuses changes nothing. The file is replaced atomically, every other\n"
     "key kept; while a program has the device open the file is in use and nothing changes\n"
     "(another simbook command holding it is waited for, up to 2 seconds). A value nesting\n"
     "deeper than 32 levels, its key's steps included, is refused.\n"},
    {"reset", "[--file FILE] [KEY...]", "back to the built-in default, or only KEYs", Reset,
     "usage: simbook reset [--file FILE] [KEY...]\n"
     "\n"
     "Without KEYs: writes the built-in default machine into FILE. With KEYs: removes them\n"
     "from FILE, so that they take their defaults (a KEY the file does not hold is noted and\n"
     "left). Written the same checked, atomic way as set.\n"},
    {"new", "[--from NAME] [--force] [FILE]", "a new machine file", New,
     "usage: simbook new [--from NAME] [--force] [FILE]\n"
     "\n"
     "Creates a machine file: the built-in default, or the ready machine NAME (healthy,\n"
     "passwords-set, busy-firmware, ...; a path to a machine file also works). An existing\n"
     "FILE is kept unless --force is given; --force replaces it the way set does: under the\n"
     "device's lock (in use while a program has it open), atomically, through a symbolic\n"
     "link, keeping its mode, and never a file with other hard links, a read-only file or\n"
     "anything that is not a regular file. `simbook new --from list` lists the ready\n"
     "machines.\n"},
    {"run", "[OPTIONS] -- COMMAND [ARGS...]", "a whole procedure on a simulated notebook", Run,
     "usage: simbook run [--machine NAME|FILE] [--in-place] [--trace FILE] [--json]\n"
     "                   [--timeout SECONDS] [--windows DIR] -- COMMAND [ARGS...]\n"
     "       simbook run --each all|NAME|FILE|DIR[,...] [--expect FILE [--update]] [--strict]\n"
     "                   [--junit FILE [--junit-suite NAME]] [--keep DIR] [-j N] [--json]\n"
     "                   [--timeout SECONDS] [--windows DIR] -- COMMAND [ARGS...]\n"
     "\n"
     "Runs a service procedure (a shell script, any program; with --windows DIR a .cmd or\n"
     ".bat file or an .exe under Wine's cmd.exe, DIR holding the windows build's programs)\n"
     "with the simulated notebook in place: brenvik, tolmare and sundrel first on PATH,\n"
     "SIMBOOK a private copy of the machine (--machine: a ready machine or a file; default:\n"
     "the machine the programs use), SIMBOOK_TRACE one trace of every program run (kept in\n"
     "--trace FILE). The machine file is never changed, unless --in-place. Standard input is\n"
     "empty. Then a report: each program run (arguments, verdict, full exit status and its\n"
     "meaning), the machine's changes key by key, the procedure's exit status; --json: the\n"
     "same as one JSON document (the procedure's own output then goes to standard error).\n"
     "--timeout (default 300 s) ends a procedure that hangs, with every process it started;\n"
     "so does Ctrl-C. The exit status is the procedure's (124 when it timed out), 125 when\n"
     "simbook run itself failed.\n"
     "\n"
     "--each runs the procedure once per machine (all: every ready machine; DIR: every\n"
     "machine file in a folder; names, files and folders separated by commas, or --each\n"
     "given again), each from a fresh copy, and prints one row per machine: its exit status,\n"
     "the programs' statuses in order, the changes; the procedure's output is kept for\n"
     "--json and --junit. --expect FILE: a JSON object, machine name (or \"*\" for every\n"
     "machine) -> {\"exit\": N, \"firmware.wlan_flags\": 1, \"changes\": {...}, \"programs\":\n"
     "[...], \"output\": \"REGEX\"} (see simbook(1)): each row passes when all of it holds,\n"
     "and says what differed when not; a row no entry covers is not judged, and fails with\n"
     "--strict. --update writes the --expect file from the run, to review and commit.\n"
     "--junit FILE: JUnit XML, one test case a row (--junit-suite NAME: the suite's name).\n"
     "--keep DIR: each row's trace, output and machine file, kept in DIR. -j N (--jobs N):\n"
     "up to N rows side by side, the same table. Exit status: 0 no row failed, 1 a row\n"
     "failed, 125 simbook run failed. Under Wine the whole table runs in one Wine session.\n"},
    {"explore", "[OPTIONS] -- COMMAND [ARGS...]", "a procedure over many generated machines",
     Explore,
     "usage: simbook explore [--from NAME|FILE] [--keys KEY,...] [--strength N] [--seed S]\n"
     "                       [--limit N] [-j N] [--shard K/N] [--check CMD] [--expect FILE]\n"
     "                       [--snapshot FILE [--update]] [--examples DIR] [--json FILE]\n"
     "                       [--junit FILE] [--timeout SECONDS] [--windows DIR]\n"
     "                       -- COMMAND [ARGS...]\n"
     "       simbook explore --merge REPORT... [--json FILE] [--junit FILE]\n"
     "                       [--snapshot FILE [--update]]\n"
     "\n"
     "Runs a procedure, as simbook run --each does, on machines made from a base (--from: a\n"
     "ready machine or a file; default: the built-in default) by giving keys the values of\n"
     "their value sets (simbook help keys): every single change, a covering array of\n"
     "--strength N (1-3, default 2) and the ready machines; --keys limits the keys that vary,\n"
     "--limit N (at least 1) the machines, --seed S (default 0) fixes their order. Machines\n"
     "that behave alike (exit status, programs with their statuses, changed keys with their\n"
     "values) form a class, shown as one row: count, exit, programs, changes, and its smallest\n"
     "example as key=value changes from the base, found by dropping each change in turn while\n"
     "the behaviour stays. --check CMD runs `sh -c CMD` after each run (SIMBOOK: the machine\n"
     "as the procedure left it, SIMBOOK_EXIT: its exit status, within --timeout); a nonzero\n"
     "status, or an --expect expectation that fails, makes the machine a counterexample:\n"
     "shrunk the same way and listed first. Last line: \"N machines, C classes, X\n"
     "counterexamples\". --examples DIR writes each example as a machine file\n"
     "(class-N.json, counterexample-N.json); --json FILE the report; --junit FILE one test\n"
     "case per class; --snapshot FILE compares the classes with the file (--update writes\n"
     "it). -j N (--jobs N; default: the processors) runs machines side by side, with the\n"
     "same result; under Wine (--windows DIR) they run one at a time in one Wine session.\n"
     "--shard K/N runs the machines whose index i has i % N = K-1; --merge joins the shards'\n"
     "--json reports.\n"
     "Exit status: 0 everything held, 1 a check, an expectation or the snapshot failed, 2 a\n"
     "wrong command line, 125 simbook explore itself failed.\n"},
    {"trace", "[--json] [--program NAME] [TRACE|-]", "a trace, decoded, one line per event", Trace,
     "usage: simbook trace [--json] [--program NAME] [TRACE|-]\n"
     "\n"
     "Decodes a SIMBOOK_TRACE file (TRACE; - or nothing with SIMBOOK_TRACE unset: standard\n"
     "input), one line per event: device opens and closes, the probe, handshake phases 1-3,\n"
     "end of session, each capsule with its sequence number and the firmware call it carried\n"
     "(function, setting or item, value read or written, status; busy answers and their\n"
     "repeats), Wi-Fi calls and notifications, and each exit status explained. NAME\n"
     "(brenvik, tolmare, sundrel) says whose statuses they are; otherwise each run's program\n"
     "is told from what it did; an exit line whose status is not a 32-bit integer is shown\n"
     "as unreadable. Lines it does not know are shown as they are, unprintable characters\n"
     "escaped (\\n, \\x1b); lines nesting deeper than 32 levels or longer than 1 MiB are not\n"
     "read. The trace is decoded as it is read.\n"
     "--json: one JSON object per event.\n"},
    {"status", "[TRACE]", "the full exit status of the trace's last program run", Status,
     "usage: simbook status [TRACE]\n"
     "\n"
     "Prints the full 32-bit signed exit status of the last program run in TRACE (default:\n"
     "$SIMBOOK_TRACE), in decimal, on one line, for scripts: rc=$(simbook status). A Linux\n"
     "$? keeps only the low 8 bits of it (tolmare's 0x00310000 reads as 0). The last run\n"
     "is the one of the trace's last start line; only the trace's end is read.\n"
     "Exit status: 0 printed; 1 TRACE cannot be read, holds no program run, or its last\n"
     "run has not ended (no exit line with a status yet); 2 no TRACE given and\n"
     "SIMBOOK_TRACE unset or empty.\n"},
};

// One line of the overview: the name and synopsis in a 37-column field, then the summary.
std::string OverviewLine(const std::string& name, const std::string& synopsis,
                         const std::string& summary) {
    std::string line = "  " + name;
    if (!synopsis.empty()) {
        line.append(name.size() < 7 ? 7 - name.size() : 1, ' ').append(synopsis);
    }
    const size_t field = 2 + 37;
    line.append(line.size() + 2 <= field ? field - line.size() : 2, ' ');
    return line + summary + "\n";
}

// A value of a value set as `help keys` shows it: JSON, a long text shortened to its start and
// its length.
std::string ValueText(const nlohmann::ordered_json& value) {
    std::string text = value.dump();
    if (!value.is_string() || text.size() <= 40) {
        return text;
    }
    return text.substr(0, 17) + "...\"(" + std::to_string(value.get<std::string>().size()) +
           " characters)";
}

// Every key of the built-in default machine, one a line, as set and reset take them, followed
// by the values explore gives it: the key first, so that the shell's completion takes the first
// word of each line.
std::string KeysText() {
    std::string text;
    for (const std::string& key : DefaultMachineKeys()) {
        std::string line = key;
        const std::vector<nlohmann::ordered_json> values = ValueSet(key);
        for (size_t i = 0; i < values.size(); ++i) {
            line.append(i > 0 ? 1 : line.size() < 38 ? 38 - line.size() : 2, ' ');
            line += ValueText(values[i]);
        }
        text += line + "\n";
    }
    return text;
}

std::string Overview() {
    std::string text = "usage: simbook COMMAND [ARGS...]\n\n";
    for (const Subcommand& c : kSubcommands) {
        text += OverviewLine(c.name, c.synopsis, c.summary);
    }
    text += OverviewLine("help", "[COMMAND|keys]", "this text, a command's, or every machine key");
    text += OverviewLine("--version", "", "the version of simbook and the programs");
    return text +
           "\n"
           "FILE defaults as the programs' SIMBOOK does: $SIMBOOK, else\n"
           "$XDG_STATE_HOME/simbook/machine.json (~/.local/state/simbook/machine.json).\n"
           "Exit status: 0 done, 1 the operation failed (one line on standard error says why),\n"
           "2 the command line was wrong.\n";
}

} // namespace

std::string HelpText(const std::string& command) {
    if (command.empty() || command == "help") {
        return Overview();
    }
    if (command == "keys") {
        return KeysText();
    }
    const Subcommand* found = FindSubcommand(command);
    return found == nullptr ? std::string() : found->help;
}

const Subcommand* FindSubcommand(const std::string& name) {
    for (const Subcommand& c : kSubcommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

std::string SubcommandNames() {
    std::string names;
    for (const Subcommand& c : kSubcommands) {
        names += std::string(c.name) + ", ";
    }
    return names + "help";
}

void Complain(const std::string& command, const std::string& problem) {
    // One line, whatever a file name or a file's text put into the problem.
    const std::string line =
        "simbook " + EscapedForLine(command) + ": " + EscapedForLine(problem) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string MachinePath(const std::string& given, bool create) {
    if (!given.empty()) {
        return given;
    }
    if (create) {
        return MachineFilePath(); // reports its own problems
    }
    const char* explicitPath = std::getenv("SIMBOOK");
    if (explicitPath != nullptr && explicitPath[0] != '\0') {
        return explicitPath;
    }
    std::string path = DefaultMachineFilePath();
    if (path.empty()) {
        ReportMachineProblem("(default machine)", "neither SIMBOOK nor HOME is set");
    }
    return path;
}

} // namespace simbook::cli
