// The documents of `simbook explore`, in-process: the --json report read back, documents it
// refuses, the merge of shards, the snapshot and its comparison, JUnit and the console text.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simbook/cli/exploration.h"

namespace simbook::cli {
namespace {

using oj = nlohmann::ordered_json;

bool Same(const BehaviourClass& a, const BehaviourClass& b) {
    return a.count == b.count && a.behaviour == b.behaviour && a.example == b.example &&
           a.first == b.first && a.origin == b.origin && a.originChanges == b.originChanges &&
           a.failures == b.failures;
}

bool Same(const std::vector<BehaviourClass>& a, const std::vector<BehaviourClass>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](const auto& x, const auto& y) { return Same(x, y); });
}

BehaviourClass Class(size_t count, int64_t exit, std::optional<int64_t> status, oj changes,
                     oj example, size_t first, size_t origin) {
    BehaviourClass c;
    c.count = count;
    c.behaviour.exit = exit;
    c.behaviour.programs = {{"brenvik", 0}, {"tolmare", status}};
    c.behaviour.changes = std::move(changes);
    c.example = std::move(example);
    c.first = first;
    c.origin = origin;
    return c;
}

// Seven machines: four that connect, two where tolmare fails, one that hung and failed a check.
Exploration Whole() {
    Exploration e;
    e.machines = 7;
    e.classes = {
        Class(4, 0, 0, {{"wlan.connected", true}, {"wlan.ssid", "home"}}, oj::object(), 0, 0),
        Class(2, 1, 3, oj::object(), {{"firmware.wlan_flags", 2}}, 1, 5)};
    BehaviourClass hung = Class(1, 259, std::nullopt, oj::object(), {{"wlan.radio", "off"}}, 3, 3);
    hung.behaviour.timedOut = true;
    hung.failures = {"exit: 259, expected 0", "timed out after 5 s"};
    e.counterexamples = {hung};
    e.meta = {{"seed", 7},
              {"strength", 2},
              {"keys", {"a", "b"}},
              {"base", "x"},
              {"procedure", {"run.sh"}}};
    return e;
}

TEST(ExplorationReport, ReadsBackWhatItWrites) {
    const Exploration e = Whole();
    std::string problem;
    const auto back = ExplorationFromJson(oj::parse(ExplorationJson(e).dump()), problem);
    ASSERT_TRUE(back) << problem;
    EXPECT_EQ(back->machines, 7u);
    EXPECT_TRUE(Same(back->classes, e.classes));
    EXPECT_TRUE(Same(back->counterexamples, e.counterexamples));
    EXPECT_EQ(back->meta, e.meta);
    EXPECT_TRUE(ExplorationJson(e)["counterexamples"][0]["programs"][1]["status"].is_null());
}

TEST(ExplorationReport, RefusesWhatIsNotAReport) {
    const oj good = ExplorationJson(Whole());
    const auto with = [&](const std::string& pointer, const oj& value) {
        oj doc = good;
        doc[oj::json_pointer(pointer)] = value;
        return doc;
    };
    oj missing = good;
    missing["classes"][0].erase("origin");
    for (const oj& doc : {oj("not a report"), with("/version", 2), with("/machines", -1),
                          with("/classes", oj::object()), with("/classes/0/count", "4"),
                          with("/classes/0/failures", oj::array()), with("/extra", 1),
                          with("/counterexamples/0/failures/0", 3), with("/meta", oj::array()),
                          with("/classes/0/programs/0/status", 4294967296),
                          with("/classes/0/timed_out", 0), missing}) {
        std::string problem;
        EXPECT_FALSE(ExplorationFromJson(doc, problem)) << doc.dump();
        EXPECT_FALSE(problem.empty());
    }
}

// Shard 1 saw machines 0, 2, 4, 6 and shard 2 machines 1, 3, 5, each with its own examples.
TEST(ExplorationMerge, ShardsMakeTheWhole) {
    Exploration one = Whole();
    Exploration two = Whole();
    one.machines = 4;
    one.classes = {
        Class(3, 0, 0, {{"wlan.connected", true}, {"wlan.ssid", "home"}}, oj::object(), 0, 0)};
    one.counterexamples.clear();
    one.meta["shard"] = "1/2";
    two.machines = 3;
    // The same behaviour with its changes in another order, and a larger example.
    two.classes = {Class(1, 0, 0, {{"wlan.ssid", "home"}, {"wlan.connected", true}},
                         {{"wlan.radio", "on"}}, 1, 1),
                   Class(2, 1, 3, oj::object(), {{"firmware.wlan_flags", 2}}, 1, 5)};
    two.classes[1].first = 1;
    two.classes[0].first = 2;
    two.meta["shard"] = "2/2";
    std::string problem;
    const auto merged = MergeExplorations({two, one}, problem);
    ASSERT_TRUE(merged) << problem;
    const Exploration whole = Whole();
    EXPECT_EQ(merged->machines, 7u);
    EXPECT_TRUE(Same(merged->classes, whole.classes)) << ExplorationJson(*merged).dump();
    EXPECT_TRUE(Same(merged->counterexamples, whole.counterexamples));
    EXPECT_FALSE(merged->meta.contains("shard"));

    // Of two examples as small, the one shrunk from the earlier machine.
    two.classes[0].example = {{"firmware.wlan_flags", 9}};
    one.classes[0].example = {{"wlan.radio", "on"}};
    one.classes[0].origin = 4;
    EXPECT_EQ(MergeExplorations({one, two}, problem)->classes[0].example, two.classes[0].example);
    // The example shrunk from the origin with the fewest changes, as the whole run takes it,
    // even where another shard's shrank further.
    one.classes[0].originChanges = 1;
    two.classes[0].originChanges = 3;
    two.classes[0].example = oj::object();
    EXPECT_EQ(MergeExplorations({one, two}, problem)->classes[0].example, one.classes[0].example);

    Exploration other = two;
    other.meta["seed"] = 8;
    EXPECT_FALSE(MergeExplorations({one, other}, problem));
    EXPECT_NE(problem.find("seed"), std::string::npos) << problem;
    other = two;
    other.meta["shard"] = "2/3";
    EXPECT_FALSE(MergeExplorations({one, other}, problem));
    EXPECT_NE(problem.find("shards differs"), std::string::npos) << problem;
    EXPECT_FALSE(MergeExplorations({one, two, one}, problem));
    EXPECT_NE(problem.find("report 3 repeats shard 1/2"), std::string::npos) << problem;
}

TEST(ExplorationSnapshot, SameBehavioursWhateverTheOrderAndCounts) {
    Exploration e = Whole();
    const oj snapshot = SnapshotJson(e);
    std::reverse(e.classes.begin(), e.classes.end());
    e.classes[0].count = 40;
    e.classes[0].first = 9;
    e.classes[1].behaviour.changes = {{"wlan.ssid", "home"}, {"wlan.connected", true}};
    EXPECT_EQ(SnapshotJson(e).dump(2), snapshot.dump(2));
    std::string problem;
    const auto same = SnapshotDifferences(oj::parse(snapshot.dump()), e, problem);
    ASSERT_TRUE(same) << problem;
    EXPECT_TRUE(same->empty());
    EXPECT_FALSE(snapshot.dump().find("\"count\"") != std::string::npos);
}

TEST(ExplorationSnapshot, TellsWhatAppearedAndVanished) {
    const oj snapshot = SnapshotJson(Whole());
    Exploration e = Whole();
    e.classes[1] = Class(2, 2, 5, oj::object(), {{"wlan.radio", "off"}}, 1, 5);
    std::string problem;
    const auto lines = SnapshotDifferences(snapshot, e, problem);
    ASSERT_TRUE(lines) << problem;
    EXPECT_EQ(*lines, (std::vector<std::string>{
                          "class appeared: exit 2  brenvik 0, tolmare 5  changes (none)  "
                          "example wlan.radio=off",
                          "class vanished: exit 1  brenvik 0, tolmare 3  changes (none)  "
                          "example firmware.wlan_flags=2"}));
    for (const oj& bad : {oj::array(), oj{{"version", 1}, {"classes", oj::array()}},
                          oj{{"version", 1}, {"classes", {1}}, {"counterexamples", oj::array()}}}) {
        EXPECT_FALSE(SnapshotDifferences(bad, e, problem)) << bad.dump();
    }
}

TEST(ExplorationText, CounterexamplesFirstThenClassesAndTheSum) {
    EXPECT_EQ(ExplorationText(Whole()),
              "    1  FAIL  exit 259 (timed out)  brenvik 0, tolmare (did not end)  changes "
              "(none)  example wlan.radio=off\n"
              "             exit: 259, expected 0\n"
              "             timed out after 5 s\n"
              "    4  exit 0  brenvik 0, tolmare 0  changes wlan.connected=true wlan.ssid=home  "
              "example (the base)\n"
              "    2  exit 1  brenvik 0, tolmare 3  changes (none)  example "
              "firmware.wlan_flags=2\n"
              "7 machines, 2 classes, 1 counterexample\n");
}

// A test case per behaviour, named by it; counterexamples and snapshot differences fail;
// what the procedure left in the machine is escaped.
TEST(ExplorationJUnit, ACaseForEachClassAndDifference) {
    Exploration e = Whole();
    e.classes[1].behaviour.changes = {{"wlan.ssid", "<a&\"b\">\x01"}};
    const std::string xml = ExplorationJUnit({"explore", "wine"}, e, {"class vanished: x"});
    const std::string counterexample =
        std::string(
            "<testcase classname=\"explore\" name=\"counterexample: exit 259 (timed out)  ") +
        "brenvik 0, tolmare (did not end)  changes (none)\">\n      <failure message=\"exit: " +
        "259, expected 0\" type=\"exploration\">exit: 259, expected 0\ntimed out after 5 s\n" +
        "</failure>";
    const std::string vanished = std::string("name=\"snapshot: class vanished: x\">\n") +
                                 "      <failure message=\"class vanished: x\"";
    for (const std::string& part : std::vector<std::string>{
             "<testsuite name=\"explore\" tests=\"4\" failures=\"2\" errors=\"0\" skipped=\"0\">",
             "<property name=\"build\" value=\"wine\"/>", counterexample,
             "<system-out>1 machine; example wlan.radio=off (shrunk from machine 3)</system-out>",
             "changes wlan.ssid=&lt;a&amp;&quot;b&quot;&gt;\\x01\">\n      <system-out>2 machines",
             vanished}) {
        EXPECT_NE(xml.find(part), std::string::npos) << part << "\n" << xml;
    }
}

} // namespace
} // namespace simbook::cli
