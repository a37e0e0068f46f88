// In-process tests of the subcommands' command lines: each table of options read into its
// struct, or the one line of the first problem.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simbook/cli/commands.h"
#include "simbook/cli/options.h"

// A row names only what it expects to be set: every other field keeps its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace simbook::cli;
using J = nlohmann::ordered_json;

J Fields(const ShowOptions& o) {
    return {o.json, o.file};
}
J Fields(const SetOptions& o) {
    return {o.file, o.args};
}
J Fields(const NewOptions& o) {
    return {o.from, o.file, o.force};
}
J Fields(const TraceOptions& o) {
    return {o.json, o.program, o.source};
}
J Fields(const RunOptions& o) {
    return {o.machine, o.each,       o.inPlace, o.trace, o.json,   o.timeout, o.windows, o.expect,
            o.junit,   o.junitSuite, o.keep,    o.jobs,  o.strict, o.update,  o.command};
}

// A command line and either its problem (told as "simbook <command>: <problem>") or what it
// reads as.
template <class O> struct Row {
    Args args;
    std::string problem;
    O want;
};

template <class O>
void CheckRows(const char* command, std::optional<O> (*parse)(const Args&),
               const std::vector<Row<O>>& rows) {
    for (const Row<O>& row : rows) {
        SCOPED_TRACE(J(row.args).dump());
        testing::internal::CaptureStderr();
        const std::optional<O> got = parse(row.args);
        const std::string err = testing::internal::GetCapturedStderr();
        if (row.problem.empty()) {
            EXPECT_EQ(err, "");
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(Fields(*got).dump(), Fields(row.want).dump());
        } else {
            EXPECT_EQ(err, "simbook " + std::string(command) + ": " + row.problem + "\n");
            EXPECT_FALSE(got.has_value());
        }
    }
}

TEST(CliOptions, Run) {
    const std::string timeout = "--timeout takes seconds, more than 0 and at most 86400";
    const std::string each = "--each runs every machine from a fresh copy: it takes no "
                             "--machine, --in-place or --trace";
    const std::string table =
        "--expect, --junit, --strict and --update judge a table: use them with --each";
    const std::string jobs = "-j takes a number of rows at once, 1 to 64";
    CheckRows<RunOptions>(
        "run", ParseRun,
        {{{"--timeout", "86400", "--", "p"}, "", {.timeout = 86400, .command = {"p"}}},
         {{"--timeout=0.5", "p"}, "", {.timeout = 0.5, .command = {"p"}}},
         {{"--timeout", "86400.5", "p"}, timeout},
         {{"--timeout", "0", "p"}, timeout},
         {{"--timeout", "-5", "p"}, timeout},
         {{"--timeout", "5s", "p"}, timeout},
         {{"--timeout", "five", "p"}, timeout},
         {{"--machine"}, "--machine needs a value (see simbook run --help)"},
         {{"--trace"}, "--trace needs a value (see simbook run --help)"},
         {{"--trace", "", "p"}, "--trace needs a file or folder"},
         {{"--junit", "", "p"}, "--junit needs a file or folder"},
         {{"--json=1", "p"}, "--json takes no value (see simbook run --help)"},
         {{"--bogus", "p"}, "unknown option '--bogus' (see simbook run --help)"},
         // The first problem in the order of the command line is the one told.
         {{"--bogus", "--timeout", "0", "p"}, "unknown option '--bogus' (see simbook run --help)"},
         {{"--timeout", "0", "--bogus", "p"}, timeout},
         // After "--", or from the first word that is no option, everything is the command's.
         {{"--json", "--", "--machine", "x"}, "", {.json = true, .command = {"--machine", "x"}}},
         {{"p", "--machine", "x"}, "", {.command = {"p", "--machine", "x"}}},
         {{"-x", "--json"}, "", {.command = {"-x", "--json"}}},
         {{"--machine", "--json", "p"}, "", {.machine = "--json", .command = {"p"}}},
         {{"--machine", "a", "--machine", "b", "p"}, "", {.machine = "b", .command = {"p"}}},
         {{"--each", "a,,b", "--each", "c", "p"}, "", {.each = {"a", "b", "c"}, .command = {"p"}}},
         {{"--each", ",", "p"}, "--each needs all, or machine names or files"},
         {{"--json", "--"}, "no procedure to run (simbook run [OPTIONS] -- COMMAND [ARGS...])"},
         {{"--each", "all", "--machine", "m", "p"}, each},
         {{"--each", "all", "--in-place", "p"}, each},
         {{"--each", "all", "--trace", "t", "p"}, each},
         {{"--expect", "e", "p"}, table},
         {{"--junit", "j", "p"}, table},
         {{"--strict", "p"}, table},
         {{"--keep", "k", "p"}, "--keep and -j are for a table's rows: use them with --each"},
         {{"-j", "2", "p"}, "--keep and -j are for a table's rows: use them with --each"},
         {{"--each", "all", "--update", "p"},
          "--update writes the expectation file: name it with --expect FILE"},
         {{"--each", "all", "--junit-suite", "s", "p"},
          "--junit-suite names the suite of --junit FILE: use them together"},
         {{"--each", "all", "--junit", "j", "--junit-suite", "", "p"},
          "--junit-suite needs a name of one line"},
         // -j at its edges, in each of its forms; a short option is no procedure's name.
         {{"--each", "all", "-j", "0", "p"}, jobs},
         {{"--each", "all", "--jobs=65", "p"}, jobs},
         {{"--each", "all", "-j", "2x", "p"}, jobs},
         {{"--each", "all", "-j64", "p"}, "", {.each = {"all"}, .jobs = 64, .command = {"p"}}},
         {{"--each", "all", "-j", "1", "--strict", "--keep", "k", "p"},
          "",
          {.each = {"all"}, .keep = "k", .strict = true, .command = {"p"}}},
         {{"--each", "all", "--expect", "e", "--junit", "j", "--windows", "w", "--update",
           "--junit-suite", "s", "p", "a"},
          "",
          {.each = {"all"},
           .windows = "w",
           .expect = "e",
           .junit = "j",
           .junitSuite = "s",
           .update = true,
           .command = {"p", "a"}}},
         {{"--machine", "m", "--in-place", "--trace", "t", "p"},
          "",
          {.machine = "m", .inPlace = true, .trace = "t", .command = {"p"}}}});
}

TEST(CliOptions, ShowNewAndTrace) {
    CheckRows<ShowOptions>(
        "show", ParseShow,
        {{{}, ""},
         {{"m.json", "--json"}, "", {.json = true, .file = "m.json"}},
         {{"a", "b"}, "unexpected argument 'b' (see simbook show --help)"},
         {{"--bogus"}, "unexpected argument '--bogus' (see simbook show --help)"},
         {{"--", "m"}, "unexpected argument '--' (see simbook show --help)"}});
    CheckRows<NewOptions>("new", ParseNew,
                          {{{"--from", "healthy", "f", "--force"},
                            "",
                            {.from = "healthy", .file = "f", .force = true}},
                           {{"--from", "a", "--from", "b"}, "", {.from = "b"}},
                           {{"--from"}, "unexpected argument '--from' (see simbook new --help)"},
                           {{"f", "g"}, "unexpected argument 'g' (see simbook new --help)"},
                           {{"--force=yes"}, "--force takes no value (see simbook new --help)"}});
    const std::string program = "--program must be brenvik, tolmare or sundrel";
    CheckRows<TraceOptions>(
        "trace", ParseTrace,
        {{{"--program", "tolmare", "-", "--json"}, "", {true, "tolmare", "-"}},
         {{"--program", "brenvik", "--program", "sundrel"}, "", {false, "sundrel", ""}},
         {{"--program", "x", "--program", "sundrel"}, program},
         {{"--program"}, "unexpected argument '--program' (see simbook trace --help)"},
         {{"a", "b", "--program", "x"}, "unexpected argument 'b' (see simbook trace --help)"}});
}

TEST(CliOptions, SetAndReset) {
    CheckRows<SetOptions>(
        "set", ParseSet,
        {{{"a=1", "--file", "f", "b=2"}, "", {"f", {"a=1", "b=2"}}},
         {{"-f", "f", "a=1"}, "", {"f", {"a=1"}}},
         // Words that are no option are set's own to judge, "--" too.
         {{"--bogus=1", "--", "--file", "f"}, "", {"", {"--bogus=1", "--", "--file", "f"}}},
         {{"-f"}, "--file needs a file name"},
         {{"--file", "", "a=1"}, "--file needs a file name"},
         {{"--file", "a", "-f", "b", "x=1"}, "--file is given more than once"},
         {{"--file", "f"}, "nothing to set (simbook set [--file FILE] KEY=VALUE...)"}});
    testing::internal::CaptureStderr();
    const std::optional<ResetOptions> reset = ParseReset({"k1", "-f", "m", "k2"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(reset.has_value());
    EXPECT_EQ(reset->file, "m");
    EXPECT_EQ(reset->args, (Args{"k1", "k2"}));
}

// Whether `text` names option `name` as a whole word.
bool Names(const std::string& text, const std::string& name) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const size_t end = at + name.size();
        if (end == text.size() ||
            (std::isalnum(static_cast<unsigned char>(text[end])) == 0 && text[end] != '-')) {
            return true;
        }
    }
    return false;
}

TEST(CliOptions, EveryOptionOfATableIsInItsCommandsHelp) {
    for (const char* command : {"show", "set", "reset", "new", "run", "explore", "trace"}) {
        SCOPED_TRACE(command);
        const std::vector<std::string> names = OptionNames(command);
        EXPECT_FALSE(names.empty());
        for (const std::string& name : names) {
            if (name.rfind("--", 0) == 0) {
                EXPECT_TRUE(Names(HelpText(command), name)) << name;
            }
        }
    }
    EXPECT_EQ(OptionNames("set"), (std::vector<std::string>{"--file", "-f"}));
    EXPECT_TRUE(OptionNames("help").empty());
}

} // namespace
