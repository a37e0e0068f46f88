// The engine of `simbook explore` (explore.h).
#include "simbook/cli/explore.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <utility>

#include "simbook/cli/launcher.h"
#include "simbook/machine.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

std::string KeyOf(const oj& changes) {
    return changes.dump(-1, ' ', false, oj::error_handler_t::replace);
}

// The options of `simbook run --each` that run explore's procedure: its command, time limit
// and build; rows capture their output.
RunOptions RunOptionsOf(const ExploreOptions& o) {
    RunOptions run;
    run.command = o.command;
    run.timeout = o.timeout;
    run.windows = o.windows;
    return run;
}

size_t JobsOf(const ExploreOptions& o) {
    if (!o.windows.empty() && o.jobs > 1) {
        std::fprintf(stderr, "simbook explore: under Wine the machines run one at a time: the "
                             "Wine prefix serves one run at once\n");
        return 1;
    }
    return static_cast<size_t>(std::max(o.jobs, 1));
}

} // namespace

std::vector<size_t> ShardIndices(size_t machines, size_t shard, size_t shards) {
    std::vector<size_t> indices;
    for (size_t i = shard - 1; i < machines; i += shards) {
        indices.push_back(i);
    }
    return indices;
}

// One class's example on its way down: the changes kept so far and the next change to try
// dropping, in key order.
struct Explorer::Shrinking {
    BehaviourClass* of = nullptr;
    oj current;
    std::vector<std::string> keys;
    size_t next = 0;
    oj candidate; // what the next drop would leave

    // Construction is left without noexcept: a JSON value's is not declared so to every checker.
    Shrinking() noexcept(false) {}
};

Explorer::Explorer(const ExploreOptions& o, oj base, const Expectations* expect,
                   HeldInterrupts& held)
    : o_(o), base_(std::move(base)), expect_(expect), held_(held), run_(RunOptionsOf(o)),
      runner_(run_), jobs_(JobsOf(o)) {
    if (!runner_.BeginTable()) {
        interrupted_ = runner_.Interrupted();
        Fail("interrupted");
    }
}

Explorer::~Explorer() {
    runner_.EndTable();
}

// In the process that runs the machine: the generated machine written into the run's folder,
// the procedure run on a copy of it, then the check and the expectations.
RowResult Explorer::RunOne(const oj& changes, const RunFolder& folder) {
    const oj generated = ApplyChanges(base_, changes);
    folder.Create("generated.json", generated.dump(2, ' ', false, oj::error_handler_t::replace));
    RowResult result;
    result.outcome = runner_.RunOn({"explored", folder / "generated.json", false}, true, folder);
    result.interruptedBy = runner_.Interrupted();
    result.outcome.output.clear(); // not part of a behaviour; keeps the packed result small
    if (result.interruptedBy == 0 && !o_.check.empty()) {
        CheckRun(folder / "machine.json", result.outcome);
    }
    if (expect_ != nullptr) {
        Check(expect_, false, result.outcome, &generated);
    }
    return result;
}

// --check: `sh -c CMD` with SIMBOOK the machine as the procedure left it and SIMBOOK_EXIT its
// status, supervised with the procedure's time limit; a failure line when it does not exit 0.
void Explorer::CheckRun(const std::string& machine, Outcome& outcome) {
    ChildCommand child;
    child.argv = {"sh", "-c", o_.check};
    const std::string programs = SimbookDir().empty() ? "." : SimbookDir();
    child.env = ProcedureEnvironment(programs, {{"SIMBOOK", fs::absolute(machine).string()},
                                                {"SIMBOOK_EXIT", std::to_string(outcome.exit)}});
    child.capture = true;
    child.timeoutSeconds = o_.timeout;
    child.graceSeconds = 0.5;
    const ChildEnd end = Supervise(child);
    if (!end.started) {
        Fail("--check: " + end.problem);
    }
    if (end.timedOut) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", o_.timeout);
        outcome.failures.push_back(std::string("the check did not end within ") + seconds + " s");
    } else if (end.status != 0) {
        outcome.failures.push_back("the check exited with status " + std::to_string(end.status));
    }
    if (end.interruptedBy != 0) {
        Fail("interrupted");
    }
}

void Explorer::Remember(const oj& changes, Outcome&& outcome, const std::string& death) {
    MachineResult result;
    result.behaviour = BehaviourOf(outcome);
    result.failures = std::move(outcome.failures);
    if (!death.empty()) {
        result.failures.push_back(death);
    }
    cache_[KeyOf(changes)] = std::move(result);
}

// Runs every change set not run before: side by side in workers, or one after the other here.
void Explorer::RunAll(const std::vector<oj>& changeSets) {
    std::vector<oj> todo;
    std::set<std::string> seen;
    for (const oj& c : changeSets) {
        const std::string key = KeyOf(c);
        if (cache_.count(key) == 0 && seen.insert(key).second) {
            todo.push_back(c);
        }
    }
    if (jobs_ == 1) {
        for (const oj& c : todo) {
            const RunFolder folder;
            RowResult r = RunOne(c, folder);
            interrupted_ = r.interruptedBy != 0 ? r.interruptedBy : held_.Take();
            if (interrupted_ != 0) {
                Fail("interrupted");
            }
            Remember(c, std::move(r.outcome), "");
        }
        return;
    }
    interrupted_ =
        SideBySide([&](size_t row, const RunFolder& folder) { return RunOne(todo[row], folder); },
                   todo.size(), held_, jobs_, o_.windows.empty())
            .Run([&](size_t row, Outcome&& outcome, const std::string& death) {
                Remember(todo[row], std::move(outcome), death);
                return true;
            });
    if (interrupted_ != 0) {
        Fail("interrupted");
    }
}

const MachineResult& Explorer::ResultOf(const oj& changes) {
    RunAll({changes});
    return cache_.at(KeyOf(changes));
}

// Whether the schema takes base + `changes`: a candidate it refuses is never run.
bool Explorer::Accepted(const oj& changes) {
    std::string error;
    return ParseMachine(ApplyChanges(base_, changes).dump(), error).has_value();
}

// The classes (or counterexample classes) of the machines at `indices`, by their first
// machine; each one's origin the member with the fewest changes, the first of those.
std::vector<BehaviourClass> Explorer::Group(const std::vector<GeneratedMachine>& machines,
                                            const std::vector<size_t>& indices,
                                            bool counterexamples) {
    std::vector<BehaviourClass> classes;
    for (size_t i : indices) {
        const MachineResult& r = cache_.at(KeyOf(machines[i].changes));
        if (r.failures.empty() == counterexamples) {
            continue;
        }
        auto found = std::find_if(classes.begin(), classes.end(), [&](const BehaviourClass& c) {
            return c.behaviour == r.behaviour;
        });
        if (found == classes.end()) {
            BehaviourClass c;
            c.behaviour = r.behaviour;
            c.first = i;
            c.origin = i;
            c.originChanges = machines[i].changes.size();
            c.example = machines[i].changes;
            classes.push_back(std::move(c));
            found = classes.end() - 1;
        } else if (machines[i].changes.size() < found->example.size()) {
            found->origin = i;
            found->originChanges = machines[i].changes.size();
            found->example = machines[i].changes;
        }
        ++found->count;
    }
    return classes;
}

// The next drop of `s` the schema takes, into `s.candidate`; false when none is left.
bool Explorer::Advance(Shrinking& s) {
    for (; s.next < s.keys.size(); ++s.next) {
        s.candidate = s.current;
        s.candidate.erase(s.keys[s.next]);
        if (Accepted(s.candidate)) {
            return true;
        }
    }
    return false;
}

// Shrinks every class's example: each change in key order dropped when the behaviour (and, for
// a counterexample, the failing) stays. The classes go in step, one drop each per round, so
// that a round's runs go side by side while each class sees its drops in the same order as
// one at a time would.
void Explorer::Shrink(std::vector<BehaviourClass>& classes, bool counterexamples) {
    std::vector<Shrinking> all;
    for (BehaviourClass& c : classes) {
        Shrinking s;
        s.of = &c;
        s.current = c.example;
        for (auto it = c.example.begin(); it != c.example.end(); ++it) {
            s.keys.push_back(it.key());
        }
        all.push_back(std::move(s));
    }
    for (;;) {
        std::vector<Shrinking*> round;
        std::vector<oj> batch;
        for (Shrinking& s : all) {
            if (Advance(s)) {
                round.push_back(&s);
                batch.push_back(s.candidate);
            }
        }
        if (round.empty()) {
            break;
        }
        RunAll(batch);
        for (Shrinking* s : round) {
            const MachineResult& r = cache_.at(KeyOf(s->candidate));
            if (r.behaviour == s->of->behaviour && r.failures.empty() != counterexamples) {
                s->current = s->candidate;
            }
            ++s->next;
        }
    }
    for (Shrinking& s : all) {
        s.of->example = s.current;
        if (counterexamples) {
            s.of->failures = cache_.at(KeyOf(s.current)).failures;
        }
    }
}

Exploration Explorer::Explore(const std::vector<GeneratedMachine>& machines,
                              const std::vector<size_t>& indices) {
    std::vector<oj> all;
    all.reserve(indices.size());
    for (size_t i : indices) {
        all.push_back(machines[i].changes);
    }
    RunAll(all);
    Exploration e;
    e.machines = indices.size();
    e.classes = Group(machines, indices, false);
    e.counterexamples = Group(machines, indices, true);
    Shrink(e.classes, false);
    Shrink(e.counterexamples, true);
    return e;
}

} // namespace simbook::cli
