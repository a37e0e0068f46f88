// The command lines of the `simbook` subcommands: one table of options per subcommand, read
// with CLI11, into a plain struct of what the subcommand was asked to do.
//
// Every parser takes the subcommand's arguments (after its name; dispatch has already answered
// --help and -h) and returns nullopt when the command line is wrong, with one line on standard
// error (Complain) and nothing else done: the subcommand then exits with kUsage. An option
// given again takes its last value (--each adds up; set's and reset's --file is refused);
// --name=VALUE is the same as --name VALUE (-fVALUE as -f VALUE, -j4 as -j 4), and the value after
// a separate option name is taken as it is, even when it starts with "--".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simbook/cli/commands.h"

namespace simbook::cli {

// simbook show [--json] [FILE]
struct ShowOptions {
    bool json = false;
    std::string file; // empty: the machine the programs use
};

// simbook set [--file FILE] KEY=VALUE...: at least one word, each judged by set itself.
struct SetOptions {
    std::string file;
    Args args; // the KEY=VALUE words, in order
};

// simbook reset [--file FILE] [KEY...]: each key judged by reset itself.
struct ResetOptions {
    std::string file;
    Args args; // the KEYs, in order
};

// simbook new [--from NAME] [--force] [FILE]
struct NewOptions {
    std::string from;
    std::string file;
    bool force = false;
};

// simbook run [OPTIONS] [--] COMMAND [ARGS...]: the options end at "--" or at the first word
// that is neither an option nor an option's value; the rest is the procedure's command, as it
// is.
struct RunOptions {
    std::string machine;
    std::vector<std::string> each; // every --each, split at its commas
    bool inPlace = false;
    std::string trace;
    bool json = false;
    double timeout = 300; // seconds, more than 0 and at most a day
    std::string windows;
    std::string expect;
    std::string junit;
    std::string junitSuite; // empty: the procedure's file name
    std::string keep;       // a folder for each row's trace, output and machine; empty: none
    int jobs = 1;           // rows run side by side, 1 to kMostJobs
    bool strict = false;    // a row no expectation covers fails
    bool update = false;    // write the --expect file from the run, then judge against it
    std::vector<std::string> command;
};

constexpr int kMostJobs = 64; // -j: more rows at once than this only thrash

// simbook explore [OPTIONS] -- COMMAND [ARGS...], or simbook explore --merge REPORT... [OPTIONS]:
// the procedure's command as run's; with --merge the other words are the shards' reports.
struct ExploreOptions {
    std::string from;              // empty: the built-in default machine
    std::vector<std::string> keys; // every --keys, split at its commas; empty: every key
    int strength = 2;              // 1 to 3
    uint64_t seed = 0;
    size_t limit = 0; // at most this many machines, at least 1; 0: no limit
    int jobs = 0;     // 1 to kMostJobs; 0: the number of processors
    size_t shard = 1; // this run is the shard-th of `shards` (--shard K/N)
    size_t shards = 1;
    std::string check;
    std::string expect;
    std::string snapshot;
    bool update = false; // write the --snapshot file instead of comparing with it
    std::string examples;
    std::string json;
    std::string junit;
    double timeout = 300;
    std::string windows;
    bool merge = false;
    Args reports; // --merge's reports, in order
    std::vector<std::string> command;
};

// simbook trace [--json] [--program NAME] [TRACE|-]
struct TraceOptions {
    bool json = false;
    std::string program; // brenvik, tolmare, sundrel, or empty
    std::string source;  // empty: $SIMBOOK_TRACE, else standard input
};

// simbook status [TRACE]
struct StatusOptions {
    std::string source; // empty: $SIMBOOK_TRACE
};

std::optional<ShowOptions> ParseShow(const Args& args);
std::optional<SetOptions> ParseSet(const Args& args);
std::optional<ResetOptions> ParseReset(const Args& args);
std::optional<NewOptions> ParseNew(const Args& args);
std::optional<RunOptions> ParseRun(const Args& args);
std::optional<ExploreOptions> ParseExplore(const Args& args);
std::optional<TraceOptions> ParseTrace(const Args& args);
std::optional<StatusOptions> ParseStatus(const Args& args);

// The options of subcommand `command` as its table declares them, each name followed by its
// short form when it has one ("--file", "-f"); empty for a command that is none.
std::vector<std::string> OptionNames(const std::string& command);

} // namespace simbook::cli
