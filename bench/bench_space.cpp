// The key space of `simbook explore`: generating the machines around the built-in default
// machine, at strength 2 over every key (the default), with and without the ready machines, and
// at strength 3 over the firmware's keys and over the driver's. Each benchmark reports the machines
// made as the counter `machines`. Machine generation must take at most 1 s at strength 2 over every
// key.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "simbook/cli/key_space.h"
#include "simbook/machine.h"

namespace {

void Generate(benchmark::State& state, const simbook::cli::SpaceOptions& options) {
    const nlohmann::ordered_json base = simbook::MachineJson(simbook::Machine{});
    size_t machines = 0;
    for (auto _ : state) {
        std::string problem;
        auto generated = simbook::cli::GenerateMachines(base, options, problem);
        if (!generated) {
            state.SkipWithError(problem.c_str());
            return;
        }
        machines = generated->size();
        benchmark::DoNotOptimize(generated);
    }
    state.counters["machines"] = static_cast<double>(machines);
}

void BM_EveryKeyStrength2(benchmark::State& state) {
    simbook::cli::SpaceOptions options;
    options.ready = state.range(0) != 0;
    Generate(state, options);
}
BENCHMARK(BM_EveryKeyStrength2)->ArgName("ready")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FirmwareKeysStrength3(benchmark::State& state) {
    simbook::cli::SpaceOptions options;
    options.strength = 3;
    options.ready = false;
    for (const std::string& key : simbook::cli::ValueSetKeys()) {
        if (key.rfind("firmware.", 0) == 0) {
            options.keys.push_back(key);
        }
    }
    Generate(state, options);
}
BENCHMARK(BM_FirmwareKeysStrength3)->Unit(benchmark::kMillisecond);

void BM_DriverKeysStrength3(benchmark::State& state) {
    simbook::cli::SpaceOptions options;
    options.strength = 3;
    options.ready = false;
    for (const std::string& key : simbook::cli::ValueSetKeys()) {
        if (key.rfind("driver.", 0) == 0) {
            options.keys.push_back(key);
        }
    }
    Generate(state, options);
}
BENCHMARK(BM_DriverKeysStrength3)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_EveryKeyStrength3(benchmark::State& state) {
    simbook::cli::SpaceOptions options;
    options.strength = 3;
    options.ready = false;
    Generate(state, options);
}
BENCHMARK(BM_EveryKeyStrength3)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
