// simbook explore: a procedure run on machines made from a base by giving its keys other
// values, grouped by how it behaved, each group with its smallest example; a check or
// expectations that fail on a machine make it a counterexample. Then the console text, the
// --json report, JUnit, the examples as machine files and the --snapshot comparison; --merge
// joins the reports of shards into the whole.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "simbook/cli/commands.h"
#include "simbook/cli/exploration.h"
#include "simbook/cli/explore.h"
#include "simbook/cli/key_space.h"
#include "simbook/cli/options.h"
#include "simbook/cli/row_runner.h"
#include "simbook/file_write.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

std::string Dumped(const oj& doc) {
    return doc.dump(2, ' ', false, oj::error_handler_t::replace) + "\n";
}

// The --from machine as MachineJson: a ready machine or a file, as `run --machine` takes it;
// the built-in default without --from.
oj BaseMachine(const std::string& from) {
    std::string problem;
    if (from.empty()) {
        const std::optional<Machine> machine = ParseMachine(DefaultMachineText(), problem);
        if (!machine) {
            Fail("the built-in default machine: " + problem);
        }
        return MachineJson(*machine);
    }
    const std::optional<MachineChoice> choice = ResolveMachine(from, problem);
    if (!choice) {
        Fail(problem);
    }
    const std::optional<LoadedMachine> loaded = LoadMachineFile(choice->path, problem);
    if (!loaded) {
        Fail(choice->path + ": " + problem);
    }
    return loaded->json;
}

// A JSON document read from `path`, for `what` (--snapshot, --merge).
oj ReadDocument(const std::string& what, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || fs::is_directory(path)) {
        Fail(what + " " + path + ": cannot be read");
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    oj doc = oj::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        Fail(what + " " + path + ": not a JSON document");
    }
    return doc;
}

// Whether two paths name the same place, neither of which need exist yet.
bool SamePath(const std::string& a, const std::string& b) {
    std::error_code ea;
    std::error_code eb;
    const fs::path x = fs::weakly_canonical(a, ea);
    const fs::path y = fs::weakly_canonical(b, eb);
    return !ea && !eb && x == y;
}

// Refuses the files explore writes when one of them is one of its inputs, or a ready machine's
// folder is the examples' folder, or that folder is a file.
void RefuseOverwrites(const ExploreOptions& o) {
    std::vector<std::pair<std::string, std::string>> inputs;
    if (!o.command.empty()) {
        inputs.emplace_back(o.command.front(), "the procedure");
    }
    if (!o.expect.empty()) {
        inputs.emplace_back(o.expect, "the --expect file");
    }
    for (const std::string& r : o.reports) {
        inputs.emplace_back(r, "a report to merge");
    }
    if (!o.snapshot.empty() && !o.update) {
        inputs.emplace_back(o.snapshot, "the --snapshot file");
    }
    // Each output is refused where it is an input, or an output named before it: two outputs
    // in one file would leave only the last, and a snapshot overwritten by a report is lost.
    for (const auto& [option, output] : {std::pair{"--json", o.json},
                                         {"--junit", o.junit},
                                         {"--snapshot", o.update ? o.snapshot : std::string()}}) {
        for (const auto& [path, what] : inputs) {
            if (!output.empty() && (SameFile(output, path) || SamePath(output, path))) {
                Fail(std::string(option)
                         .append(" ")
                         .append(output)
                         .append(" is ")
                         .append(what)
                         .append(": it would be overwritten"));
            }
        }
        if (!output.empty()) {
            inputs.emplace_back(output, std::string("the ") + option + " file");
        }
    }
    if (o.examples.empty()) {
        return;
    }
    std::error_code ec;
    if (fs::exists(o.examples, ec) && !fs::is_directory(o.examples, ec)) {
        Fail("--examples " + o.examples + " is a file, not a folder");
    }
    if (SameFile(o.examples, MachinesDir())) {
        Fail("--examples " + o.examples + " is the ready machines' folder");
    }
}

void WriteOrFail(const std::string& path, const std::string& text) {
    std::string problem;
    if (!WriteFileAtomically(path, text, problem)) {
        Fail(path + ": " + problem);
    }
}

// --examples DIR: each class's example, and each counterexample's, as a whole machine file.
void WriteExamples(const std::string& dir, const oj& base, const Exploration& e) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) {
        Fail("--examples " + dir + ": cannot be made a folder" + (ec ? ": " + ec.message() : ""));
    }
    const auto write = [&](const std::vector<BehaviourClass>& classes, const std::string& kind) {
        for (size_t i = 0; i < classes.size(); ++i) {
            WriteOrFail((fs::path(dir) / (kind + "-" + std::to_string(i + 1) + ".json")).string(),
                        Dumped(ApplyChanges(base, classes[i].example)));
        }
    };
    write(e.counterexamples, "counterexample");
    write(e.classes, "class");
}

// --snapshot: written with --update, else compared; the differences, one line each.
std::vector<std::string> Snapshot(const ExploreOptions& o, const Exploration& e) {
    if (o.snapshot.empty()) {
        return {};
    }
    if (o.update) {
        WriteOrFail(o.snapshot, Dumped(SnapshotJson(e)));
        const size_t classes = e.classes.size() + e.counterexamples.size();
        std::fprintf(stderr, "simbook explore: wrote the snapshot of %zu class%s to %s\n", classes,
                     classes == 1 ? "" : "es", EscapedForLine(o.snapshot).c_str());
        return {};
    }
    std::string problem;
    const std::optional<std::vector<std::string>> differences =
        SnapshotDifferences(ReadDocument("--snapshot", o.snapshot), e, problem);
    if (!differences) {
        Fail("--snapshot " + o.snapshot + ": " + problem);
    }
    return *differences;
}

// Everything explore writes of `e`, then its exit status.
int Finish(const ExploreOptions& o, const oj* base, const Exploration& e) {
    if (base != nullptr && !o.examples.empty()) {
        WriteExamples(o.examples, *base, e);
    }
    const std::vector<std::string> differences = Snapshot(o, e);
    if (!o.json.empty()) {
        WriteOrFail(o.json, Dumped(ExplorationJson(e)));
    }
    if (!o.junit.empty()) {
        const std::string suite = o.command.empty()
                                      ? std::string("explore")
                                      : fs::path(o.command.front()).filename().string();
        const std::string build = e.meta.value("build", std::string("linux"));
        WriteOrFail(o.junit, ExplorationJUnit({suite, build}, e, differences));
    }
    std::string text = ExplorationText(e);
    for (const std::string& d : differences) {
        text += "snapshot: " + d + "\n";
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        Fail("standard output cannot be written");
    }
    return e.counterexamples.empty() && differences.empty() ? kDone : kFailed;
}

int Merge(const ExploreOptions& o) {
    std::vector<Exploration> shards;
    for (const std::string& path : o.reports) {
        std::string problem;
        std::optional<Exploration> e = ExplorationFromJson(ReadDocument("--merge", path), problem);
        if (!e) {
            Fail(std::string(path).append(": ").append(problem));
        }
        shards.push_back(std::move(*e));
    }
    std::string problem;
    const std::optional<Exploration> whole = MergeExplorations(shards, problem);
    if (!whole) {
        Fail(problem);
    }
    return Finish(o, nullptr, *whole);
}

oj MetaOf(const ExploreOptions& o) {
    oj meta = {{"seed", o.seed},
               {"strength", o.strength},
               {"keys", o.keys},
               {"limit", o.limit == 0 ? oj() : oj(o.limit)},
               {"base", o.from.empty() ? std::string("default") : o.from},
               {"procedure", o.command},
               {"build", o.windows.empty() ? "linux" : "wine"}};
    if (o.shards > 1) {
        meta["shard"] = std::to_string(o.shard) + "/" + std::to_string(o.shards);
    }
    return meta;
}

// The exploration itself; kUsage for keys the key space does not know.
int ExploreMachines(const ExploreOptions& o, HeldInterrupts& held) {
    const oj base = BaseMachine(o.from);
    std::string problem;
    std::optional<Expectations> expect;
    if (!o.expect.empty() && !(expect = ReadExpectations(o.expect, problem))) {
        Fail(o.expect + ": " + problem);
    }
    if (!o.snapshot.empty() && !o.update) {
        ReadDocument("--snapshot", o.snapshot); // a broken snapshot is told before any run
    }
    SpaceOptions space;
    space.keys = o.keys;
    space.strength = o.strength;
    space.seed = o.seed;
    space.limit = o.limit;
    int interrupted = 0;
    space.stopped = [&] { return interrupted != 0 || (interrupted = held.Take()) != 0; };
    const std::optional<std::vector<GeneratedMachine>> machines =
        GenerateMachines(base, space, problem);
    if (interrupted != 0) {
        Fail("interrupted");
    }
    if (!machines) {
        Complain("explore", EscapedForLine(problem));
        return kUsage;
    }
    Explorer explorer(o, base, expect ? &*expect : nullptr, held);
    Exploration e = explorer.Explore(*machines, ShardIndices(machines->size(), o.shard, o.shards));
    e.meta = MetaOf(o);
    return Finish(o, &base, e);
}

} // namespace

int Explore(const Args& args) {
    const std::optional<ExploreOptions> parsed = ParseExplore(args);
    if (!parsed) {
        return kUsage;
    }
    HeldInterrupts held;
    try {
        RefuseOverwrites(*parsed);
        return parsed->merge ? Merge(*parsed) : ExploreMachines(*parsed, held);
    } catch (const Failure& f) {
        Complain("explore", EscapedForLine(f.problem));
        return f.problem == "interrupted" ? kInterrupted : kOwnFailure;
    } catch (const std::exception& e) {
        Complain("explore", EscapedForLine(e.what()));
        return kOwnFailure;
    }
}

} // namespace simbook::cli
