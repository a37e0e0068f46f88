// The engine of `simbook explore`: runs a procedure (and its check) on generated machines,
// side by side in forked workers as `run --each` does, groups the machines into behaviour
// classes and counterexamples, and shrinks each class's example change by change.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simbook/cli/exploration.h"
#include "simbook/cli/key_space.h"
#include "simbook/cli/options.h"
#include "simbook/cli/procedure.h"
#include "simbook/cli/row_runner.h"
#include "simbook/cli/supervise.h"

namespace simbook::cli {

// What the procedure did on one machine, and why its check or expectation failed there (none:
// everything held).
struct MachineResult {
    Behaviour behaviour;
    std::vector<std::string> failures;
};

// The machines of shard K of N: those whose generation index i has i % N == K - 1, with their
// (global) indices.
std::vector<size_t> ShardIndices(size_t machines, size_t shard, size_t shards);

class Explorer {
public:
    // `base`: MachineJson of the --from machine; `expect`: the --expect file's, or null. The
    // interrupts are held by the caller for as long as the explorer runs.
    Explorer(const ExploreOptions& o, nlohmann::ordered_json base, const Expectations* expect,
             HeldInterrupts& held);
    Explorer(const Explorer&) = delete;
    Explorer& operator=(const Explorer&) = delete;
    ~Explorer();

    // Runs `machines[i]` for each i of `indices`, groups them and shrinks each class's example.
    // Throws Failure when simbook itself fails or is interrupted (Interrupted() then says by
    // what).
    Exploration Explore(const std::vector<GeneratedMachine>& machines,
                        const std::vector<size_t>& indices);

    // The procedure's (and check's) result on base + `changes`, run once and then remembered.
    const MachineResult& ResultOf(const nlohmann::ordered_json& changes);

    int Interrupted() const { return interrupted_; }
    // Procedure runs so far (each change set runs once).
    size_t Runs() const { return cache_.size(); }

private:
    struct Shrinking;
    RowResult RunOne(const nlohmann::ordered_json& changes, const RunFolder& folder);
    void CheckRun(const std::string& machine, Outcome& outcome);
    void RunAll(const std::vector<nlohmann::ordered_json>& changeSets);
    void Remember(const nlohmann::ordered_json& changes, Outcome&& outcome,
                  const std::string& death);
    bool Accepted(const nlohmann::ordered_json& changes);
    std::vector<BehaviourClass> Group(const std::vector<GeneratedMachine>& machines,
                                      const std::vector<size_t>& indices, bool counterexamples);
    void Shrink(std::vector<BehaviourClass>& classes, bool counterexamples);
    bool Advance(Shrinking& s);

    const ExploreOptions& o_;
    nlohmann::ordered_json base_;
    const Expectations* expect_;
    HeldInterrupts& held_;
    RunOptions run_; // the options the shared runner takes
    Runner runner_;
    size_t jobs_;
    std::map<std::string, MachineResult> cache_; // by the change set's JSON text
    int interrupted_ = 0;
};

} // namespace simbook::cli
