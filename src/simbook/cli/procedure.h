// What one run of a procedure on one simulated notebook did, read back from its trace and its
// machine file, and how it is told: the report of `simbook run`, a row of the `--each` table,
// the checks of an expectation file, JUnit XML.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simbook::cli {

struct ProgramRun {
    int64_t number = 0;            // from the start line; 0 when the run had none
    std::string program;           // brenvik, tolmare, sundrel; empty when not named
    std::vector<std::string> args; // as the program was given them
    std::optional<int64_t> status; // the full exit status; none when the run never ended
};

struct KeyChange {
    std::string key; // dotted, as simbook set takes it
    nlohmann::ordered_json before;
    nlohmann::ordered_json after;
};

struct Outcome {
    std::string machine; // the ready machine's name, or the file's name without ".json"
    std::string file;    // the machine file the run started from
    std::string description;
    std::vector<ProgramRun> runs;
    std::vector<KeyChange> changes;
    nlohmann::ordered_json after; // every key of the machine after the run (MachineJson)
    int64_t exit = 0;             // the procedure's exit status
    bool timedOut = false;
    bool interrupted = false;          // simbook was interrupted and ended the procedure
    int leftovers = 0;                 // processes the procedure left running, then ended
    double seconds = 0;                // wall time of the procedure
    std::string output;                // what it printed, when captured (--each)
    std::vector<std::string> failures; // expectations that did not hold, one line each
    // Set by Check: an expectation applied to this row; the table was judged at all (an
    // expectation file or --strict), so that a row no expectation covers says "not judged".
    bool checked = false;
    bool judging = false;

    // Moves are left without noexcept: a JSON value's move is not declared so to every checker.
    Outcome() noexcept(false) {}
    Outcome(const Outcome&) = default;
    Outcome& operator=(const Outcome&) = default;
    Outcome(Outcome&&) noexcept(false) = default;
    Outcome& operator=(Outcome&&) noexcept(false) = default;
    ~Outcome() = default;
};

// The program runs of a trace, in the order they began, as the trace decoder reads them: each
// start line opens a run, each exit line ends the run of its number (an exit line without one,
// from older traces, the last run begun), or stands for a run of its own when no start line
// opened it. An exit line without a readable status leaves its run unended.
std::vector<ProgramRun> RunsOfTrace(const std::vector<std::string>& lines);

// The keys whose values differ between two machines (MachineJson of each), in file order.
std::vector<KeyChange> Changes(const nlohmann::ordered_json& before,
                               const nlohmann::ordered_json& after);

// "SUCCESS", "FAILURE" or "(nothing)": the verdict line the program printed for `status`; for
// a program that is not one of the three, "FAILURE" for a negative status, else "-".
std::string Verdict(const std::string& program, int64_t status);

// The run as one line: the program and its arguments, escaped.
std::string CommandLine(const ProgramRun& run);

// A JSON value as one line: a string as its text, anything else as JSON, escaped.
std::string Printable(const nlohmann::ordered_json& value);

// A compiled "output" pattern of an expectation file.
class OutputPattern;

// The expectations of an --expect file, in one of two forms (see simbook(1)):
// - an object: machine name (or "*") -> what must hold after its run: "exit", "changes",
//   "programs", "output" and final values of dotted keys (`byMachine`);
// - a list of rules, [{"when": {KEY: VALUE...}, what must hold...}...] (`rules`, `listed`): the
//   first rule whose "when" matches the machine as it started applies; a machine no rule
//   matches is not judged.
// Checked when read, every entry and its type; "output" patterns compiled then, by entry name
// (the object form) or by the rule's index from 0, as text (the list form).
struct Expectations {
    nlohmann::ordered_json byMachine = nlohmann::ordered_json::object();
    nlohmann::ordered_json rules = nlohmann::ordered_json::array();
    bool listed = false;
    std::map<std::string, std::shared_ptr<const OutputPattern>> patterns;
};
// The expectations of `document` (an --expect file's, or what UpdatedExpectations made); none,
// with `problem` saying why, when it is not a valid expectation document.
std::optional<Expectations> ExpectationsOf(const nlohmann::ordered_json& document,
                                           std::string& problem);
std::optional<Expectations> ReadExpectations(const std::string& path, std::string& problem);

// Judges one row: the expectations for its machine and "*", or the first rule whose "when"
// matches `started` (`expect` null: there is no expectation file). `started` is the machine the
// row began from, as MachineJson gives it: `simbook run` passes the row's machine file read
// before the procedure ran, `simbook explore` the machine as generated, e.g.
//   Check(expect ? &*expect : nullptr, strict, row, &startedJson);
// Without it (null) only a rule whose "when" is {} can match. A row that timed out always
// fails; a row no expectation covers is not judged, unless `strict`, and then it fails. Adds a
// line to `outcome.failures` for each difference; sets `checked` and `judging`.
// A list of rules cannot be written back by UpdatedExpectations: --update refuses such a file.
void Check(const Expectations* expect, bool strict, Outcome& outcome,
           const nlohmann::ordered_json* started = nullptr);

enum class Judgement { kNotJudged, kPass, kFail };
Judgement JudgementOf(const Outcome& outcome);

struct Tally {
    size_t passed = 0;
    size_t failed = 0;
    size_t notJudged = 0;
};
Tally Count(const std::vector<Outcome>& rows);

// The table's last line with its newline: "18 machines: 16 passed, 1 failed, 1 not judged".
std::string TableSummary(const std::vector<Outcome>& rows);

// The expectation document --update writes for these rows: for each row's machine its "exit",
// "changes" (every changed key -> its value after) and "programs" (each run's program, args
// and status); `old` (the file's document, or an empty object) keeps its entries for machines
// not in the table.
nlohmann::ordered_json UpdatedExpectations(const nlohmann::ordered_json& old,
                                           const std::vector<Outcome>& rows);

// The report of one run, for a person (several lines) and as JSON.
std::string ReportText(const Outcome& outcome, bool inPlace);
nlohmann::ordered_json ReportJson(const Outcome& outcome);

// The --each table's head and one row (with the lines of its failures); `width` is the
// machine column's, at least the longest name's; `exitWidth` the exit column's: 4 holds a
// Linux procedure's 8-bit status, 11 a Windows one's full 32 bits ("-2147483648").
constexpr size_t kLinuxExitWidth = 4;
constexpr size_t kWindowsExitWidth = 11;
std::string TableHead(size_t width, size_t exitWidth = kLinuxExitWidth);
std::string TableRow(const Outcome& outcome, size_t width, size_t exitWidth = kLinuxExitWidth);

// What a JUnit document says of the table as a whole: the suite's name and the build the
// programs ran as, "linux" or "wine".
struct TableInfo {
    std::string suite;
    std::string build;
};

// JUnit XML of a table: one test case per row, named by its machine.
std::string JUnitXml(const TableInfo& table, const std::vector<Outcome>& rows);

} // namespace simbook::cli
