// The command lines of the `simbook` subcommands, read with CLI11 from one table per
// subcommand. CLI11 finds the options and their values; what a value must be, and which other
// words a subcommand takes, the tables say. Problems are told in the order of the command line.
#include "simbook/cli/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include <CLI/CLI.hpp>

#include <unistd.h>

namespace simbook::cli {
namespace {

constexpr double kLongestTimeout = 86400; // a day

// A value an option refuses: the problem, as Complain tells it.
struct Refusal {
    std::string problem;
};

// One option: its name, its short form, the value it takes (its name in the help; null for a
// flag), and what it does to the subcommand's struct, throwing Refusal for a value it refuses.
template <class O> struct OptionRow {
    const char* name;
    const char* alias;
    const char* value;
    void (*take)(O& into, const std::string& value);
};

// How a subcommand reads its command line: its options, where the other words go, and what it
// says about a missing value and about a word it does not take ("{}": the option or the word).
template <class O> struct Rules {
    const char* command;
    std::vector<OptionRow<O>> options;
    std::string O::*word;   // the one other word it takes (FILE), or null
    Args O::*words;         // every other word, in order (KEY...), or null
    const char* missing;    // an option without its value; null: as `unexpected` says
    const char* unexpected; // a word it does not take
};

std::string Filled(const char* text, const std::string& what) {
    std::string filled = text;
    const size_t at = filled.find("{}");
    return at == std::string::npos ? filled : filled.replace(at, 2, what);
}

// ---- what the options take -------------------------------------------------------------------

// "a,b,c" split at its commas, empty parts dropped.
std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t comma = std::min(list.find(',', at), list.size());
        if (comma > at) {
            parts.push_back(list.substr(at, comma - at));
        }
        if (comma == list.size()) {
            return parts;
        }
        at = comma + 1;
    }
}

// The --timeout value: seconds (as strtod reads them, the whole text), more than 0 and at most a
// day.
double Seconds(const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || end != text.c_str() + text.size() ||
        !(seconds > 0 && seconds <= kLongestTimeout)) {
        throw Refusal{"--timeout takes seconds, more than 0 and at most 86400"};
    }
    return seconds;
}

// A file or folder for run's `option`: never empty.
std::string FileOrFolder(const char* option, const std::string& value) {
    if (value.empty()) {
        throw Refusal{std::string(option) + " needs a file or folder"};
    }
    return value;
}

// The machine file of set and reset: given once, and named. An empty name would be the
// default machine, which is what leaving the option out means.
void TakeMachineFile(std::string& file, const std::string& value) {
    if (value.empty()) {
        throw Refusal{"--file needs a file name"};
    }
    if (!file.empty()) {
        throw Refusal{"--file is given more than once"};
    }
    file = value;
}

// The -j value: a whole number of rows, 1 to kMostJobs.
int Jobs(const std::string& text) {
    const bool digits =
        !text.empty() && text.size() <= 3 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int jobs = digits ? std::stoi(text) : 0;
    if (jobs < 1 || jobs > kMostJobs) {
        throw Refusal{"-j takes a number of rows at once, 1 to " + std::to_string(kMostJobs)};
    }
    return jobs;
}

// The --junit-suite value: a name, one line.
std::string SuiteName(const std::string& value) {
    if (value.empty() || value.find_first_of("\r\n") != std::string::npos) {
        throw Refusal{"--junit-suite needs a name of one line"};
    }
    return value;
}

void TakeEach(RunOptions& o, const std::string& value) {
    for (std::string& part : Split(value)) {
        o.each.push_back(std::move(part));
    }
    if (o.each.empty()) {
        throw Refusal{"--each needs all, or machine names or files"};
    }
}

// A whole number in decimal digits only, at most `most`; nullopt for anything else.
std::optional<uint64_t> Whole(const std::string& text, uint64_t most) {
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > most) {
        return std::nullopt;
    }
    return value;
}

void TakeKeys(ExploreOptions& o, const std::string& value) {
    for (std::string& part : Split(value)) {
        o.keys.push_back(std::move(part));
    }
    if (o.keys.empty()) {
        throw Refusal{"--keys needs keys, as simbook help keys lists them"};
    }
}

void TakeStrength(ExploreOptions& o, const std::string& value) {
    const std::optional<uint64_t> n = Whole(value, 3);
    if (!n || *n < 1) {
        throw Refusal{"--strength takes 1, 2 or 3"};
    }
    o.strength = static_cast<int>(*n);
}

void TakeSeed(ExploreOptions& o, const std::string& value) {
    const std::optional<uint64_t> n = Whole(value, UINT64_MAX);
    if (!n) {
        throw Refusal{"--seed takes a whole number, 0 to " + std::to_string(UINT64_MAX)};
    }
    o.seed = *n;
}

void TakeLimit(ExploreOptions& o, const std::string& value) {
    const std::optional<uint64_t> n = Whole(value, SIZE_MAX);
    if (!n || *n < 1) {
        throw Refusal{"--limit takes a number of machines, at least 1"};
    }
    o.limit = static_cast<size_t>(*n);
}

// --shard K/N: the Kth of N shards, 1 <= K <= N.
void TakeShard(ExploreOptions& o, const std::string& value) {
    const size_t slash = value.find('/');
    const std::optional<uint64_t> k =
        slash == std::string::npos ? std::nullopt : Whole(value.substr(0, slash), SIZE_MAX);
    const std::optional<uint64_t> n =
        slash == std::string::npos ? std::nullopt : Whole(value.substr(slash + 1), SIZE_MAX);
    if (!k || !n || *k < 1 || *k > *n) {
        throw Refusal{"--shard takes K/N, the Kth of N shards (1 <= K <= N)"};
    }
    o.shard = static_cast<size_t>(*k);
    o.shards = static_cast<size_t>(*n);
}

void TakeProgram(TraceOptions& o, const std::string& value) {
    if (value != "brenvik" && value != "tolmare" && value != "sundrel") {
        throw Refusal{"--program must be brenvik, tolmare or sundrel"};
    }
    o.program = value;
}

// ---- the tables ---------------------------------------------------------------------------------

const Rules<ShowOptions>& ShowRules() {
    static const Rules<ShowOptions> rules{
        "show",
        {{"--json", nullptr, nullptr, [](ShowOptions& o, const std::string&) { o.json = true; }}},
        &ShowOptions::file,
        nullptr,
        nullptr,
        "unexpected argument '{}' (see simbook show --help)"};
    return rules;
}

const Rules<SetOptions>& SetRules() {
    static const Rules<SetOptions> rules{
        "set",
        {{"--file", "-f", "FILE",
          [](SetOptions& o, const std::string& v) { TakeMachineFile(o.file, v); }}},
        nullptr,
        &SetOptions::args,
        "{} needs a file name",
        nullptr};
    return rules;
}

const Rules<ResetOptions>& ResetRules() {
    static const Rules<ResetOptions> rules{
        "reset",
        {{"--file", "-f", "FILE",
          [](ResetOptions& o, const std::string& v) { TakeMachineFile(o.file, v); }}},
        nullptr,
        &ResetOptions::args,
        "{} needs a file name",
        nullptr};
    return rules;
}

const Rules<NewOptions>& NewRules() {
    static const Rules<NewOptions> rules{
        "new",
        {{"--from", nullptr, "NAME", [](NewOptions& o, const std::string& v) { o.from = v; }},
         {"--force", nullptr, nullptr, [](NewOptions& o, const std::string&) { o.force = true; }}},
        &NewOptions::file,
        nullptr,
        nullptr,
        "unexpected argument '{}' (see simbook new --help)"};
    return rules;
}

const Rules<RunOptions>& RunRules() {
    using R = RunOptions;
    using V = const std::string&;
    static const Rules<RunOptions> rules{
        "run",
        {{"--machine", nullptr, "NAME|FILE", [](R& o, V v) { o.machine = v; }},
         {"--in-place", nullptr, nullptr, [](R& o, V) { o.inPlace = true; }},
         {"--trace", nullptr, "FILE", [](R& o, V v) { o.trace = FileOrFolder("--trace", v); }},
         {"--json", nullptr, nullptr, [](R& o, V) { o.json = true; }},
         {"--timeout", nullptr, "SECONDS", [](R& o, V v) { o.timeout = Seconds(v); }},
         {"--windows", nullptr, "DIR", [](R& o, V v) { o.windows = FileOrFolder("--windows", v); }},
         {"--each", nullptr, "all|NAME,NAME,...|FILE", TakeEach},
         {"--expect", nullptr, "FILE", [](R& o, V v) { o.expect = FileOrFolder("--expect", v); }},
         {"--junit", nullptr, "FILE", [](R& o, V v) { o.junit = FileOrFolder("--junit", v); }},
         {"--junit-suite", nullptr, "NAME", [](R& o, V v) { o.junitSuite = SuiteName(v); }},
         {"--keep", nullptr, "DIR", [](R& o, V v) { o.keep = FileOrFolder("--keep", v); }},
         {"--jobs", "-j", "N", [](R& o, V v) { o.jobs = Jobs(v); }},
         {"--strict", nullptr, nullptr, [](R& o, V) { o.strict = true; }},
         {"--update", nullptr, nullptr, [](R& o, V) { o.update = true; }}},
        nullptr,
        nullptr,
        "{} needs a value (see simbook run --help)",
        "unknown option '{}' (see simbook run --help)"};
    return rules;
}

std::vector<OptionRow<ExploreOptions>> ExploreRows() {
    using E = ExploreOptions;
    using V = const std::string&;
    return {
        {"--from", nullptr, "NAME|FILE", [](E& o, V v) { o.from = FileOrFolder("--from", v); }},
        {"--keys", nullptr, "KEY,KEY,...", TakeKeys},
        {"--strength", nullptr, "N", TakeStrength},
        {"--seed", nullptr, "S", TakeSeed},
        {"--limit", nullptr, "N", TakeLimit},
        {"--jobs", "-j", "N", [](E& o, V v) { o.jobs = Jobs(v); }},
        {"--shard", nullptr, "K/N", TakeShard},
        {"--check", nullptr, "CMD", [](E& o, V v) { o.check = FileOrFolder("--check", v); }},
        {"--expect", nullptr, "FILE", [](E& o, V v) { o.expect = FileOrFolder("--expect", v); }},
        {"--snapshot", nullptr, "FILE",
         [](E& o, V v) { o.snapshot = FileOrFolder("--snapshot", v); }},
        {"--update", nullptr, nullptr, [](E& o, V) { o.update = true; }},
        {"--examples", nullptr, "DIR",
         [](E& o, V v) { o.examples = FileOrFolder("--examples", v); }},
        {"--json", nullptr, "FILE", [](E& o, V v) { o.json = FileOrFolder("--json", v); }},
        {"--junit", nullptr, "FILE", [](E& o, V v) { o.junit = FileOrFolder("--junit", v); }},
        {"--timeout", nullptr, "SECONDS", [](E& o, V v) { o.timeout = Seconds(v); }},
        {"--windows", nullptr, "DIR", [](E& o, V v) { o.windows = FileOrFolder("--windows", v); }},
        {"--merge", nullptr, nullptr, [](E& o, V) { o.merge = true; }}};
}

// explore's options before its procedure's command.
const Rules<ExploreOptions>& ExploreRules() {
    static const Rules<ExploreOptions> rules{"explore",
                                             ExploreRows(),
                                             nullptr,
                                             nullptr,
                                             "{} needs a value (see simbook explore --help)",
                                             "unknown option '{}' (see simbook explore --help)"};
    return rules;
}

// explore --merge's: the other words are the reports.
const Rules<ExploreOptions>& MergeRules() {
    static const Rules<ExploreOptions> rules{"explore",
                                             ExploreRows(),
                                             nullptr,
                                             &ExploreOptions::reports,
                                             "{} needs a value (see simbook explore --help)",
                                             nullptr};
    return rules;
}

const Rules<TraceOptions>& TraceRules() {
    static const Rules<TraceOptions> rules{
        "trace",
        {{"--json", nullptr, nullptr, [](TraceOptions& o, const std::string&) { o.json = true; }},
         {"--program", nullptr, "NAME", TakeProgram}},
        &TraceOptions::source,
        nullptr,
        nullptr,
        "unexpected argument '{}' (see simbook trace --help)"};
    return rules;
}

const Rules<StatusOptions>& StatusRules() {
    static const Rules<StatusOptions> rules{
        "status", {},      &StatusOptions::source,
        nullptr,  nullptr, "unexpected argument '{}' (see simbook status --help)"};
    return rules;
}

// ---- reading a command line ---------------------------------------------------------------------

// The row of the option that `word` names: its name alone or with "=VALUE", or its short form
// with the value joined; null for none.
template <class O> const OptionRow<O>* RowOf(const Rules<O>& rules, const std::string& word) {
    for (const OptionRow<O>& row : rules.options) {
        if (word == row.name || word.rfind(std::string(row.name) + "=", 0) == 0 ||
            (row.alias != nullptr && word.rfind(row.alias, 0) == 0)) {
            return &row;
        }
    }
    return nullptr;
}

// The problem with option `word` that CLI11 found: a value missing, or one given to a flag.
template <class O> std::string MismatchProblem(const Rules<O>& rules, const std::string& word) {
    const OptionRow<O>* row = RowOf(rules, word);
    const std::string name = row == nullptr ? word : row->name;
    if (row != nullptr && row->value == nullptr) {
        return name + " takes no value (see simbook " + rules.command + " --help)";
    }
    return Filled(rules.missing != nullptr ? rules.missing : rules.unexpected, name);
}

// Puts the words no option took where the subcommand keeps them; the problem with the first
// one it does not take, if any.
template <class O>
std::optional<std::string> PlaceWords(const Rules<O>& rules, const Args& left, O& out) {
    for (const std::string& word : left) {
        if (rules.words != nullptr) {
            (out.*rules.words).push_back(word);
        } else if (rules.word != nullptr && (out.*rules.word).empty() && word.rfind("--", 0) != 0) {
            out.*rules.word = word;
        } else {
            return Filled(rules.unexpected, word);
        }
    }
    return std::nullopt;
}

template <class O> void Declare(CLI::App& app, const Rules<O>& rules, O& out) {
    for (const OptionRow<O>& row : rules.options) {
        std::string names = row.name;
        if (row.alias != nullptr) {
            names += std::string(",") + row.alias;
        }
        auto take = [&out, &row](const std::string& value) { row.take(out, value); };
        CLI::Option* option = row.value == nullptr
                                  ? app.add_flag_callback(names, [take] { take(""); })
                                  : app.add_option_function<std::string>(names, take);
        // Each time the option is given it is taken at once: a wrong value is told in the
        // order of the command line, and the last value given stays.
        option->trigger_on_parse();
        option->disable_flag_override();
    }
}

// Reads `args` into `out` by `rules`; false once the first problem, in the order of the command
// line, has been told.
template <class O> bool Read(const Rules<O>& rules, const Args& args, O& out) {
    CLI::App app;
    app.set_help_flag(); // no help option: dispatch answers --help and -h with the help texts
    app.allow_extras();  // the other words are placed below, in order
    Declare(app, rules, out);
    Args pending(args.rbegin(), args.rend()); // CLI11 reads from the back and pops what it took
    std::optional<std::string> problem;
    try {
        app.parse(pending);
    } catch (const Refusal& refusal) {
        problem = refusal.problem;
    } catch (const CLI::ArgumentMismatch&) {
        // Thrown right after the option's word was taken: the last word read.
        const size_t read = args.size() - std::min(pending.size(), args.size());
        problem = MismatchProblem(rules, read == 0 ? std::string() : args[read - 1]);
    } catch (const CLI::Error& error) {
        problem = error.what();
    }
    // After a problem, the words left so far are those before it: one of them wrong is told
    // first.
    if (std::optional<std::string> earlier = PlaceWords(rules, app.remaining(), out)) {
        problem = std::move(earlier);
    }
    if (problem) {
        Complain(rules.command, *problem);
        return false;
    }
    return true;
}

template <class O> std::optional<O> Parse(const Rules<O>& rules, const Args& args) {
    O out;
    if (!Read(rules, args, out)) {
        return std::nullopt;
    }
    return out;
}

// Whether `word` is one of the short options in `rules`, alone ("-j") or with its value ("-j4").
template <class O> bool IsShortOption(const Rules<O>& rules, const std::string& word) {
    return std::any_of(rules.options.begin(), rules.options.end(), [&](const auto& r) {
        return r.alias != nullptr && word.rfind(r.alias, 0) == 0;
    });
}

// Where a procedure's command begins (run's, explore's): at "--" or at the first word that is
// no option (one that does not start with "--" and is no short option in `rules`), the value
// after an option's name (given alone) passed over.
template <class O> size_t CommandStart(const Rules<O>& rules, const Args& args) {
    const auto& options = rules.options;
    size_t at = 0;
    while (at < args.size() && args[at] != "--" &&
           (args[at].rfind("--", 0) == 0 || IsShortOption(rules, args[at]))) {
        const auto row = std::find_if(options.begin(), options.end(), [&](const auto& r) {
            return args[at] == r.name || (r.alias != nullptr && args[at] == r.alias);
        });
        at += row != options.end() && row->value != nullptr ? 2U : 1U;
    }
    return std::min(at, args.size());
}

// What is wrong with run's options taken together, if anything.
std::optional<std::string> RunProblem(const RunOptions& o) {
    if (o.command.empty()) {
        return "no procedure to run (simbook run [OPTIONS] -- COMMAND [ARGS...])";
    }
    if (!o.each.empty() && (!o.machine.empty() || o.inPlace || !o.trace.empty())) {
        return "--each runs every machine from a fresh copy: it takes no --machine, --in-place "
               "or --trace";
    }
    if (o.each.empty() && (!o.expect.empty() || !o.junit.empty() || o.strict || o.update)) {
        return "--expect, --junit, --strict and --update judge a table: use them with --each";
    }
    if (o.each.empty() && (!o.keep.empty() || o.jobs != 1)) {
        return "--keep and -j are for a table's rows: use them with --each";
    }
    if (o.update && o.expect.empty()) {
        return "--update writes the expectation file: name it with --expect FILE";
    }
    if (!o.junitSuite.empty() && o.junit.empty()) {
        return "--junit-suite names the suite of --junit FILE: use them together";
    }
    return std::nullopt;
}

// What is wrong with explore's options taken together, if anything.
std::optional<std::string> ExploreProblem(const ExploreOptions& o) {
    if (o.merge) {
        if (o.reports.empty()) {
            return "--merge needs the shards' reports (simbook explore --merge A.json B.json ...)";
        }
        if (!o.from.empty() || !o.keys.empty() || !o.check.empty() || !o.expect.empty() ||
            !o.examples.empty() || !o.windows.empty() || o.shards != 1 || o.limit != 0) {
            return "--merge joins reports and runs nothing: it takes only --json, --junit and "
                   "--snapshot";
        }
        return std::nullopt;
    }
    if (o.command.empty()) {
        return "no procedure to run (simbook explore [OPTIONS] -- COMMAND [ARGS...])";
    }
    if (o.update && o.snapshot.empty()) {
        return "--update writes the snapshot: name it with --snapshot FILE";
    }
    return std::nullopt;
}

template <class O> std::vector<std::string> Names(const Rules<O>& rules) {
    std::vector<std::string> names;
    for (const OptionRow<O>& row : rules.options) {
        names.emplace_back(row.name);
        if (row.alias != nullptr) {
            names.emplace_back(row.alias);
        }
    }
    return names;
}

} // namespace

std::optional<ShowOptions> ParseShow(const Args& args) {
    return Parse(ShowRules(), args);
}

std::optional<SetOptions> ParseSet(const Args& args) {
    std::optional<SetOptions> o = Parse(SetRules(), args);
    if (o && o->args.empty()) {
        Complain("set", "nothing to set (simbook set [--file FILE] KEY=VALUE...)");
        return std::nullopt;
    }
    return o;
}

std::optional<ResetOptions> ParseReset(const Args& args) {
    return Parse(ResetRules(), args);
}

std::optional<NewOptions> ParseNew(const Args& args) {
    return Parse(NewRules(), args);
}

std::optional<RunOptions> ParseRun(const Args& args) {
    const size_t start = CommandStart(RunRules(), args);
    RunOptions o;
    if (!Read(RunRules(), Args(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(start)),
              o)) {
        return std::nullopt;
    }
    const size_t first = start < args.size() && args[start] == "--" ? start + 1 : start;
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
    if (const std::optional<std::string> problem = RunProblem(o)) {
        Complain("run", *problem);
        return std::nullopt;
    }
    return o;
}

std::optional<ExploreOptions> ParseExplore(const Args& args) {
    const size_t start = CommandStart(ExploreRules(), args);
    const bool merge = std::find(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(start),
                                 "--merge") != args.begin() + static_cast<std::ptrdiff_t>(start);
    ExploreOptions o;
    const size_t end = merge ? args.size() : start;
    if (!Read(merge ? MergeRules() : ExploreRules(),
              Args(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(end)), o)) {
        return std::nullopt;
    }
    if (!merge) {
        const size_t first = start < args.size() && args[start] == "--" ? start + 1 : start;
        o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
    }
    if (const std::optional<std::string> problem = ExploreProblem(o)) {
        Complain("explore", *problem);
        return std::nullopt;
    }
    if (o.jobs == 0) {
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        o.jobs = static_cast<int>(std::clamp<long>(cpus, 1, kMostJobs));
    }
    return o;
}

std::optional<TraceOptions> ParseTrace(const Args& args) {
    return Parse(TraceRules(), args);
}

std::optional<StatusOptions> ParseStatus(const Args& args) {
    return Parse(StatusRules(), args);
}

std::vector<std::string> OptionNames(const std::string& command) {
    if (command == "show") {
        return Names(ShowRules());
    }
    if (command == "set") {
        return Names(SetRules());
    }
    if (command == "reset") {
        return Names(ResetRules());
    }
    if (command == "new") {
        return Names(NewRules());
    }
    if (command == "run") {
        return Names(RunRules());
    }
    if (command == "explore") {
        return Names(ExploreRules());
    }
    if (command == "trace") {
        return Names(TraceRules());
    }
    if (command == "status") {
        return Names(StatusRules());
    }
    return {};
}

} // namespace simbook::cli
