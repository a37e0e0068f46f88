// What `simbook explore` found: the ways a procedure behaved over many machines (classes, each
// with its smallest example), the machines a check or an expectation failed on
// (counterexamples), and the documents made of them: the --json report, the --snapshot file,
// JUnit XML, and the merge of shards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simbook/cli/procedure.h"

namespace simbook::cli {

// How a procedure behaved on one machine: its exit status, the programs it ran in order with
// their full statuses (none: the run did not end), and the keys it changed with their final
// values (dotted keys as `simbook help keys` lists them).
struct Behaviour {
    int64_t exit = 0;
    bool timedOut = false;
    std::vector<std::pair<std::string, std::optional<int64_t>>> programs;
    nlohmann::ordered_json changes = nlohmann::ordered_json::object();

    bool operator==(const Behaviour& other) const;
    bool operator!=(const Behaviour& other) const { return !(*this == other); }
};

// The behaviour of one run, from its outcome.
Behaviour BehaviourOf(const Outcome& outcome);

// One class of machines that behaved alike, or one counterexample class (machines whose check
// or expectation failed, with the same behaviour). `example`: the smallest machine found, as
// its changes from the base ({KEY: VALUE}); `first`: the index, in the order machines were
// generated, of the first machine of the class; `origin`: the index of the machine the example
// was shrunk from. Both indices are of the whole exploration, shards included, so that a merge
// of shards gives what the whole run gives.
struct BehaviourClass {
    size_t count = 0;
    Behaviour behaviour;
    nlohmann::ordered_json example = nlohmann::ordered_json::object();
    size_t first = 0;
    size_t origin = 0;
    // How many keys the origin machine changes: the whole run shrinks the member with the
    // fewest, and a merge of shards keeps the example whose origin a whole run would have taken.
    size_t originChanges = 0;
    std::vector<std::string> failures; // a counterexample's: why its check or expectation failed
};

struct Exploration {
    size_t machines = 0;                         // machines run (this shard's, or all)
    std::vector<BehaviourClass> classes;         // ordered by `first`
    std::vector<BehaviourClass> counterexamples; // ordered by `first`
    nlohmann::ordered_json meta = nlohmann::ordered_json::object(); // seed, strength, keys, shard
};

// The --json report of an exploration, version 1:
// {"version": 1, "machines": N, "classes": [CLASS...], "counterexamples": [CLASS...], "meta": {}}
// where CLASS is {"count", "exit", "timed_out", "programs": [{"program", "status"}], "changes":
// {KEY: VALUE}, "example": {KEY: VALUE}, "first", "origin"}, a counterexample's with "failures":
// [TEXT...]; "status" is null for a run that did not end.
nlohmann::ordered_json ExplorationJson(const Exploration& e);
// The exploration a report holds; none, with `problem` saying where, when the document is not
// a report of this version (every field is checked, none may be missing or unknown).
std::optional<Exploration> ExplorationFromJson(const nlohmann::ordered_json& doc,
                                               std::string& problem);

// Shards joined into the whole: classes of equal behaviour merged (counts added, `first` the
// least, the smaller example: fewest keys, then the smaller origin), machines added, meta
// without "shard". None, with `problem`, when the shards' meta differ in seed, strength, keys,
// limit, base, procedure, build or number of shards, or a shard appears twice.
std::optional<Exploration> MergeExplorations(const std::vector<Exploration>& shards,
                                             std::string& problem);

// The snapshot: each class's and each counterexample class's behaviour with its smallest
// example, sorted by a canonical text of the behaviour (never by counts or indices, which
// change with shards and limits), so that the file diffs well when written with 2-space JSON.
nlohmann::ordered_json SnapshotJson(const Exploration& e);
// The classes that appeared or vanished against a snapshot document, one line per class with
// its example; empty when the behaviours are the same. None, with `problem`, when `snapshot`
// is not a valid snapshot.
std::optional<std::vector<std::string>> SnapshotDifferences(const nlohmann::ordered_json& snapshot,
                                                            const Exploration& e,
                                                            std::string& problem);

// JUnit XML: one test case per class, one failed test case per counterexample class and one
// failed test case per snapshot difference.
std::string ExplorationJUnit(const TableInfo& table, const Exploration& e,
                             const std::vector<std::string>& snapshotDifferences);

// The console text: counterexamples first (each with its failures), then the classes, one row
// each: count, exit, programs' statuses, changes, example as key=value changes from the base;
// then "N machines, C classes, X counterexamples".
std::string ExplorationText(const Exploration& e);

} // namespace simbook::cli
