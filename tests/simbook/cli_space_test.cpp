// In-process tests of the key space: value sets, single changes, covering arrays, ready machines.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "simbook/cli/commands.h"
#include "simbook/cli/key_space.h"
#include "simbook/machine.h"

namespace {

using nlohmann::ordered_json;
using simbook::Machine;
using simbook::MachineJson;
using simbook::cli::ApplyChanges;
using simbook::cli::GeneratedMachine;
using simbook::cli::GenerateMachines;
using simbook::cli::SpaceOptions;
using simbook::cli::ValueSet;

std::vector<GeneratedMachine> Generate(const SpaceOptions& options,
                                       const ordered_json& base = MachineJson(Machine{})) {
    std::string problem;
    auto machines = GenerateMachines(base, options, problem);
    EXPECT_TRUE(machines.has_value()) << problem;
    return machines.value_or(std::vector<GeneratedMachine>{});
}

// The value `key` has in the machine `changes` make of `base`.
ordered_json ValueIn(const ordered_json& base, const GeneratedMachine& m, const std::string& key) {
    return m.changes.contains(key) ? m.changes[key] : *simbook::cli::Lookup(base, key);
}

// Every combination of values of `keys` that the schema accepts beside the base's other values
// is held by some machine; returns how many combinations there were.
size_t ExpectCovered(const std::vector<GeneratedMachine>& machines, const ordered_json& base,
                     const std::vector<std::string>& keys) {
    std::set<std::string> held;
    for (const GeneratedMachine& m : machines) {
        ordered_json values = ordered_json::array();
        for (const std::string& key : keys) {
            values.push_back(ValueIn(base, m, key));
        }
        held.insert(values.dump());
    }
    std::vector<ordered_json> combos = {ordered_json::array()};
    for (const std::string& key : keys) {
        std::vector<ordered_json> longer;
        for (const ordered_json& c : combos) {
            for (const ordered_json& v : ValueSet(key)) {
                ordered_json next = c;
                next.push_back(v);
                longer.push_back(next);
            }
        }
        combos = longer;
    }
    size_t checked = 0;
    for (const ordered_json& c : combos) {
        ordered_json changes = ordered_json::object();
        for (size_t i = 0; i < keys.size(); ++i) {
            changes[keys[i]] = c[i];
        }
        std::string error;
        const bool nothingChanged = ApplyChanges(base, changes) == base;
        if (nothingChanged ||
            !simbook::ParseMachine(ApplyChanges(base, changes).dump(), error).has_value()) {
            continue; // the base itself, or a combination no accepted machine can hold
        }
        ++checked;
        EXPECT_TRUE(held.count(c.dump())) << "not covered: " << c.dump();
    }
    return checked;
}

// Each key of every subset of `keys` with `strength` members.
void ExpectEveryTupleCovered(const std::vector<GeneratedMachine>& machines,
                             const std::vector<std::string>& keys, size_t strength) {
    const ordered_json base = MachineJson(Machine{});
    std::vector<size_t> pick(strength);
    for (size_t i = 0; i < strength; ++i) {
        pick[i] = i;
    }
    while (true) {
        std::vector<std::string> subset;
        for (size_t i : pick) {
            subset.push_back(keys[i]);
        }
        EXPECT_GT(ExpectCovered(machines, base, subset), 0u);
        size_t i = strength;
        while (i > 0 && pick[i - 1] == keys.size() - strength + i - 1) {
            --i;
        }
        if (i == 0) {
            return;
        }
        ++pick[i - 1];
        for (size_t j = i; j < strength; ++j) {
            pick[j] = pick[j - 1] + 1;
        }
    }
}

TEST(CliSpace, EveryValueSetIsAcceptedOnItsOwnAndHoldsTheDefault) {
    const ordered_json base = MachineJson(Machine{});
    for (const std::string& key : simbook::cli::ValueSetKeys()) {
        SCOPED_TRACE(key);
        const std::vector<ordered_json> values = ValueSet(key);
        ASSERT_GE(values.size(), 2u);
        EXPECT_NE(std::find(values.begin(), values.end(), *simbook::cli::Lookup(base, key)),
                  values.end());
        for (const ordered_json& v : values) {
            // setting58 needs a width that holds it, a width a setting58 it holds.
            ordered_json changes = {{key, v}};
            if (key == "firmware.setting58") {
                changes["firmware.setting58_width"] = 32;
            } else if (key == "firmware.setting58_width") {
                changes["firmware.setting58"] = 0;
            }
            std::string error;
            EXPECT_TRUE(simbook::ParseMachine(ApplyChanges(base, changes).dump(), error))
                << v.dump() << ": " << error;
        }
    }
    EXPECT_TRUE(ValueSet("description").empty());
    EXPECT_TRUE(ValueSet("wlan.interfaces[1].scan").empty());
    const std::vector<ordered_json> range = ValueSet("driver.interfaces"); // 0..16, default 1
    EXPECT_EQ(ordered_json(range).dump(), "[0,1,8,15,16]");
}

TEST(CliSpace, SingleChangesComeFirstOneKeyEachAndEveryMachineIsAccepted) {
    SpaceOptions options;
    options.keys = {"firmware.setting58", "firmware.setting58_width", "wlan.interfaces[0].scan"};
    const ordered_json base = MachineJson(Machine{});
    const std::vector<GeneratedMachine> machines = Generate(options, base);
    size_t singles = 0;
    std::set<std::string> seen;
    for (const GeneratedMachine& m : machines) {
        std::string error;
        EXPECT_TRUE(simbook::ParseMachine(ApplyChanges(base, m.changes).dump(), error))
            << m.changes.dump() << ": " << error;
        EXPECT_FALSE(m.changes.empty());
        EXPECT_TRUE(seen.insert(m.changes.dump()).second) << "twice: " << m.changes.dump();
        for (auto it = m.changes.begin(); it != m.changes.end(); ++it) {
            const ordered_json* was = simbook::cli::Lookup(base, it.key()); // null: a new key
            EXPECT_TRUE(was == nullptr || *was != *it) << it.key();
        }
        if (m.origin == "single") {
            EXPECT_EQ(singles++, &m - machines.data()) << "singles come first";
            EXPECT_EQ(m.changes.size(), 1u);
        }
    }
    // setting58 fits the default width 2 for 0, 1 (the base), 2 and 3 only: 3 singles of
    // setting58; every width but the base's 2 and 0, which cannot hold the base's setting58 1;
    // every other scan.
    EXPECT_EQ(singles, 3u + (ValueSet("firmware.setting58_width").size() - 2) +
                           (ValueSet("wlan.interfaces[0].scan").size() - 1));
    ExpectEveryTupleCovered(machines, options.keys, 2);
}

TEST(CliSpace, CoveringArraysHoldEveryPairAndEveryTriple) {
    SpaceOptions options;
    options.ready = false;
    options.keys = {"ansi_code_page", "driver.interfaces", "driver.faults.proof",
                    "wlan.interfaces[0].scan", "wlan.interfaces[0].networks"};
    std::vector<GeneratedMachine> pairs = Generate(options);
    ExpectEveryTupleCovered(pairs, options.keys, 2);
    options.keys.pop_back();
    options.strength = 3;
    std::vector<GeneratedMachine> triples = Generate(options);
    ExpectEveryTupleCovered(triples, options.keys, 3);
    EXPECT_EQ(triples.back().origin, "triple");
    // Two keys at strength 3: every combination of the two.
    options.keys = {"driver.interfaces", "wlan.interfaces[0].scan"};
    ExpectEveryTupleCovered(Generate(options), options.keys, 2);
    // Far fewer machines than every combination (2 * 5 * 3 * 5 = 150).
    EXPECT_LT(triples.size(), 150u);
}

TEST(CliSpace, TheSameSeedGivesTheSameMachinesAnotherStillCovers) {
    SpaceOptions options;
    options.ready = false;
    options.keys = {"driver.present", "driver.busy_replies", "firmware.wlan_flags",
                    "wlan.notify_delay_ms"};
    options.seed = 7;
    const std::vector<GeneratedMachine> first = Generate(options);
    const std::vector<GeneratedMachine> again = Generate(options);
    ASSERT_EQ(first.size(), again.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].changes, again[i].changes);
    }
    bool differs = false;
    for (uint64_t seed : {1, 2, 3}) {
        options.seed = seed;
        const std::vector<GeneratedMachine> other = Generate(options);
        ExpectEveryTupleCovered(other, options.keys, 2);
        differs = differs || other.size() != first.size() ||
                  !std::equal(other.begin(), other.end(), first.begin(),
                              [](const GeneratedMachine& a, const GeneratedMachine& b) {
                                  return a.changes == b.changes;
                              });
    }
    EXPECT_TRUE(differs);
}

// A limit stops the covering array early yet gives the first machines of the whole list; an
// interrupt stops the generation.
TEST(CliSpace, ALimitGivesTheWholeListsFirstMachinesAndAnInterruptStops) {
    SpaceOptions options;
    options.keys = {"driver.present", "driver.busy_replies", "firmware.wlan_flags",
                    "wlan.notify_delay_ms"};
    const std::vector<GeneratedMachine> whole = Generate(options);
    for (size_t limit : {size_t{1}, size_t{25}, whole.size() - 1}) {
        options.limit = limit;
        const std::vector<GeneratedMachine> cut = Generate(options);
        ASSERT_EQ(cut.size(), limit);
        for (size_t i = 0; i < limit; ++i) {
            EXPECT_EQ(cut[i].changes, whole[i].changes) << limit << " " << i;
        }
    }
    options.limit = 0;
    size_t asked = 0;
    options.stopped = [&] { return ++asked == 3; };
    std::string problem;
    EXPECT_FALSE(GenerateMachines(MachineJson(Machine{}), options, problem));
    EXPECT_EQ(problem, "interrupted");
    EXPECT_EQ(asked, 3u);
}

TEST(CliSpace, ReadyMachinesComeLastAsTheirChangesAndTheLimitCutsTheList) {
    SpaceOptions options;
    options.keys = {"ansi_code_page"};
    const ordered_json base = MachineJson(Machine{});
    const std::vector<GeneratedMachine> machines = Generate(options, base);
    ASSERT_EQ(machines.front().changes.dump(), R"({"ansi_code_page":65001})");
    const std::string dir = simbook::cli::MachinesDir();
    size_t ready = 0;
    for (const GeneratedMachine& m : machines) {
        if (m.origin.rfind("ready:", 0) != 0) {
            continue;
        }
        ++ready;
        std::string problem;
        const auto loaded = simbook::LoadMachineFile(
            simbook::cli::ReadyMachinePath(dir, m.origin.substr(6)), problem);
        ASSERT_TRUE(loaded) << problem;
        EXPECT_EQ(
            MachineJson(*simbook::ParseMachine(ApplyChanges(base, m.changes).dump(), problem)),
            loaded->json)
            << m.origin;
    }
    // Every ready machine pins the clock, so none is the base itself.
    EXPECT_EQ(ready, simbook::cli::ReadyMachines(dir).size());
    options.limit = 1;
    EXPECT_EQ(Generate(options, base).size(), 1u);
}

TEST(CliSpace, KeysThatCannotVaryAndStrengthsOutOfRangeAreRefused) {
    ordered_json noInterface = MachineJson(Machine{});
    noInterface["wlan"]["interfaces"] = ordered_json::array();
    const struct {
        std::vector<std::string> keys;
        int strength;
        const char* problem;
    } cases[] = {
        {{"driver.nonsense"}, 2, "unknown key \"driver.nonsense\""},
        {{"description"}, 2, "unknown key \"description\""},
        {{"wlan.interfaces[0].scan"}, 2, "not in the base machine"},
        {{}, 0, "strength must be 1, 2 or 3, got 0"},
        {{}, 4, "strength must be 1, 2 or 3, got 4"},
    };
    for (const auto& c : cases) {
        SpaceOptions options;
        options.keys = c.keys;
        options.strength = c.strength;
        std::string problem;
        EXPECT_FALSE(GenerateMachines(noInterface, options, problem));
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
    // Without --keys the interface's keys are left out when the base has none.
    SpaceOptions options;
    options.strength = 1;
    options.ready = false;
    for (const GeneratedMachine& m : Generate(options, noInterface)) {
        EXPECT_EQ(m.changes.dump().find("interfaces[0]"), std::string::npos) << m.changes.dump();
    }
}

TEST(CliSpace, ChangesApplyByDottedKeyAndAMisplacedOneIsRefusedByTheReader) {
    const ordered_json base = MachineJson(Machine{});
    ordered_json applied = ApplyChanges(
        base, {{"wlan.interfaces[0].scan", "fail"}, {"wlan.interfaces[1].guid", "{x}"}});
    EXPECT_EQ(applied["wlan"]["interfaces"][0]["scan"], "fail");
    EXPECT_EQ(applied["wlan"]["interfaces"][1]["guid"], "{x}"); // one past the end appends
    // Between machines of other shapes: a list of interfaces of another length goes whole, the
    // step beside a list of busy replies is a key the base lacks.
    ordered_json other = base;
    other["wlan"]["interfaces"] = ordered_json::array();
    other["driver"]["busy_replies"] = {1, 0};
    other["driver"]["busy_replies_step"] = 1;
    const ordered_json changes = simbook::cli::ChangesBetween(base, other);
    EXPECT_EQ(changes.dump(), R"({"driver.busy_replies":[1,0],"driver.busy_replies_step":1,)"
                              R"("wlan.interfaces":[]})");
    EXPECT_EQ(ApplyChanges(base, changes), other);
    EXPECT_EQ(ApplyChanges(other, simbook::cli::ChangesBetween(other, base))["wlan"], base["wlan"]);
    for (const char* key : {"wlan.interfaces[5].scan", "driver.present.x", "wlan..library", "[0]",
                            "driver.interfaces[0]"}) {
        std::string error;
        EXPECT_FALSE(simbook::ParseMachine(ApplyChanges(base, {{key, 1}}).dump(), error)) << key;
        EXPECT_EQ(error, std::string(key) + ": unknown key") << key;
    }
}

TEST(CliSpace, HelpKeysShowsEveryKeyFirstThenItsValueSet) {
    std::istringstream text(simbook::cli::HelpText("keys"));
    std::string line;
    size_t i = 0;
    const std::vector<std::string>& keys = simbook::cli::DefaultMachineKeys();
    while (std::getline(text, line)) {
        ASSERT_LT(i, keys.size());
        std::istringstream words(line);
        std::string key;
        words >> key; // the shell's completion takes the first word
        EXPECT_EQ(key, keys[i]);
        EXPECT_FALSE(ValueSet(key).empty()) << key; // every key can vary
        ++i;
    }
    EXPECT_EQ(i, keys.size());
    EXPECT_NE(simbook::cli::HelpText("keys").find("\ndriver.faults.proof                   "
                                                  "\"good\" \"flip_last_byte\" \"wrong_order\"\n"),
              std::string::npos);
    EXPECT_NE(simbook::cli::HelpText("keys").find(
                  "\ndriver.faults.public_value            null \"00\" \"01\" "
                  "\"ffffffffffffffff...\"(264 characters)\n"),
              std::string::npos);
}

} // namespace
