// The key space of `simbook explore`: value sets per key, and the machines built from them.
//
// The covering array is built greedily, one machine at a time: a tuple of values not yet in any
// machine is fixed, the other keys are given, in an order drawn from the seed, the value that
// adds the most uncovered tuples, and the best of a few such candidates is kept. A candidate the
// schema refuses has its free keys put back to the base one at a time until it is accepted; a
// tuple that even the base beside it cannot hold is given up. Random numbers come from
// std::mt19937_64, whose sequence the standard fixes, reduced by `%`: the same seed gives the
// same machines with every library and build.
#include "simbook/cli/key_space.h"

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <set>
#include <utility>

#include "simbook/cli/commands.h"
#include "simbook/machine.h"

namespace simbook::cli {
namespace {

using oj = nlohmann::ordered_json;
using Values = std::vector<oj>;

// min, min+1, the middle, max-1, max and `extra` (defaults and meaningful values), each once, in
// ascending order.
Values Range(int64_t lo, int64_t hi, std::initializer_list<int64_t> extra = {}) {
    std::vector<int64_t> picks = {lo, lo + 1, lo + (hi - lo) / 2, hi - 1, hi};
    picks.insert(picks.end(), extra.begin(), extra.end());
    std::sort(picks.begin(), picks.end());
    Values out;
    for (int64_t v : picks) {
        if (v >= lo && v <= hi && std::find(out.begin(), out.end(), oj(v)) == out.end()) {
            out.emplace_back(v);
        }
    }
    return out;
}

// A key that may be missing: null first, then `values`.
Values Optional(Values values) {
    values.insert(values.begin(), nullptr);
    return values;
}

// An optional 32-bit value: missing (null), then the range's picks.
Values OptionalDword(std::initializer_list<int64_t> extra = {}) {
    return Optional(Range(0, 0xFFFFFFFFll, extra));
}

const Values kBooleans = {false, true};

Values With(Values values, oj more) {
    values.push_back(std::move(more));
    return values;
}

oj PinnedClock() {
    const Machine::Clock c;
    return oj{{"system_time", c.systemTime}, {"performance_counter", c.performanceCounter}};
}

std::vector<std::pair<std::string, Values>> DriverValueSets() {
    return {
        {"driver.present", kBooleans},
        {"driver.interfaces", Range(0, 16, {1})},
        {"driver.driver_version",
         {nullptr, "", "1.0.7.0", "1.0.8.0", "1.0.8.1", "65535.65535.65535.65535"}},
        {"driver.sessions", kBooleans},
        {"driver.auth_key",
         {"f2aee4fc34d1e48c54e00742b7def70e", "00000000000000000000000000000000",
          "ffffffffffffffffffffffffffffffff"}},
        {"driver.busy_replies", With(Range(0, 1000000, {2, 3}), oj::array({1, 0}))},
        {"driver.held_by_other_program", kBooleans},
        {"driver.faults.probe_error", OptionalDword({2, 5})},
        {"driver.faults.phase1_reply_length", OptionalDword({159, 160, 161})},
        {"driver.faults.proof", {"good", "flip_last_byte", "wrong_order"}},
        {"driver.faults.phase3_reply", {"good", "swapped_halves"}},
        {"driver.faults.capsule_reply_length", OptionalDword()},
        {"driver.faults.capsule_total_field", OptionalDword()},
        {"driver.faults.capsule_extra_payload", Range(0, 4096)},
        {"driver.faults.capsule_empty_payload", kBooleans},
        {"driver.faults.capsule_error", OptionalDword({5})},
        {"driver.faults.public_value",
         {nullptr, "00", "01", std::string(2 * kPublicValueBytes, 'f')}},
    };
}

std::vector<std::pair<std::string, Values>> FirmwareValueSets() {
    return {
        {"firmware.wlan_flags", Range(0, 0xFFFF, {2, 3})},
        {"firmware.setting58", Range(0, 0xFFFFFFFFll, {2, 3})},
        {"firmware.setting58_width", Range(0, 255, {2, 31, 32})},
        {"firmware.supervisor_password", kBooleans},
        {"firmware.user_password", kBooleans},
        {"firmware.password_data_length", Range(0, 0xFFFF, {32})},
        {"firmware.password_state_status", Optional(Range(0, 255, {2}))},
        {"firmware.failing_functions",
         {oj::array(), oj::array({5}), oj::array({12}), oj::array({13}), oj::array({17}),
          oj::array({18}), oj::array({18, 13})}},
        {"firmware.wlan_item_data", {"", "00", "01", "ffff"}},
        {"firmware.setting58_stray_bits", {0, 4, 0x80000000ll, 0xFFFFFFFCll}},
    };
}

std::vector<std::pair<std::string, Values>> WlanValueSets() {
    const WlanInterface wi = DefaultWlanInterface();
    return {
        {"wlan.library", kBooleans},
        {"wlan.ui_library", kBooleans},
        {"wlan.missing_entries",
         {oj::array(), oj::array({"WlanOpenHandle"}), oj::array({"WlanScan"}),
          oj::array({"WlanGetAvailableNetworkList"})}},
        {"wlan.interfaces[0].guid",
         {wi.guidText, "{00000000-0000-0000-0000-000000000000}",
          "{ffffffff-ffff-ffff-ffff-ffffffffffff}"}},
        {"wlan.interfaces[0].scan",
         {"complete", "fail", "refuse", "silent", oj::array({"refuse", "complete"})}},
        {"wlan.interfaces[0].networks",
         {oj::array(), oj::array({"HomeNet"}), oj::array({"HomeNet", "", "Cafe", "Cafe"}),
          oj::array({std::string(kMaxSsidLength, 'W')})}},
        {"wlan.notify_delay_ms", Range(0, 600000, {50})},
        {"wlan.wait_limit_ms", OptionalDword()},
    };
}

// Every key's value set, in the order of the machine file (and `simbook help keys`).
const std::vector<std::pair<std::string, Values>>& ValueSets() {
    static const std::vector<std::pair<std::string, Values>> sets = [] {
        std::vector<std::pair<std::string, Values>> all = {
            {"ansi_code_page", {1252, 65001}},
            {"clock", {nullptr, PinnedClock()}},
        };
        for (auto part : {DriverValueSets(), FirmwareValueSets(), WlanValueSets()}) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }();
    return sets;
}

} // namespace

std::vector<oj> ValueSet(const std::string& key) {
    for (const auto& [name, values] : ValueSets()) {
        if (name == key) {
            return values;
        }
    }
    return {};
}

const std::vector<std::string>& ValueSetKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> out;
        for (const auto& entry : ValueSets()) {
            out.push_back(entry.first);
        }
        return out;
    }();
    return keys;
}

namespace {

// One step of a dotted key: an object's member, or with `index` an element of a list.
struct KeyStep {
    std::string name;
    std::optional<size_t> index;
};

// "wlan.interfaces[0].scan" as its steps; nullopt when malformed.
std::optional<std::vector<KeyStep>> SplitKey(const std::string& key) {
    std::vector<KeyStep> steps;
    size_t i = 0;
    while (i < key.size()) {
        if (key[i] == '[') {
            size_t close = key.find(']', i);
            if (close == std::string::npos || close == i + 1 || close - i > 4 ||
                key.find_first_not_of("0123456789", i + 1) != close) {
                return std::nullopt;
            }
            steps.push_back({"", std::stoul(key.substr(i + 1, close - i - 1))});
            i = close + 1;
            if (i < key.size() && key[i] == '.') {
                ++i;
            }
            continue;
        }
        size_t end = key.find_first_of(".[", i);
        end = end == std::string::npos ? key.size() : end;
        if (end == i) {
            return std::nullopt;
        }
        steps.push_back({key.substr(i, end - i), std::nullopt});
        i = end < key.size() && key[end] == '.' ? end + 1 : end;
    }
    if (steps.empty() || steps.front().index || key.back() == '.') {
        return std::nullopt;
    }
    return steps;
}

// Puts `value` at `steps` in `root`; false when a step does not fit what is there.
bool Place(oj& root, const std::vector<KeyStep>& steps, const oj& value) {
    oj* node = &root;
    for (const KeyStep& s : steps) {
        if (!s.index) {
            if (node->is_null()) {
                *node = oj::object();
            }
            if (!node->is_object()) {
                return false;
            }
            node = &(*node)[s.name];
        } else {
            if (!node->is_array() || *s.index > node->size()) {
                return false;
            }
            if (*s.index == node->size()) {
                node->push_back(oj::object());
            }
            node = &(*node)[*s.index];
        }
    }
    *node = value;
    return true;
}

void CollectChanges(const oj& base, const oj& other, const std::string& path, oj& out) {
    if (base.is_object() && other.is_object()) {
        for (auto it = other.begin(); it != other.end(); ++it) {
            const std::string key = path.empty() ? it.key() : path + "." + it.key();
            // A key the base lacks (the step beside a list) compares as missing, null.
            CollectChanges(base.contains(it.key()) ? base[it.key()] : oj(), *it, key, out);
        }
        return;
    }
    const bool objectLists =
        base.is_array() && other.is_array() && base.size() == other.size() &&
        std::all_of(base.begin(), base.end(), [](const oj& e) { return e.is_object(); });
    if (objectLists && base != other) {
        for (size_t i = 0; i < base.size(); ++i) {
            CollectChanges(base[i], other[i], path + "[" + std::to_string(i) + "]", out);
        }
    } else if (base != other) {
        out[path] = other;
    }
}

} // namespace

oj ApplyChanges(const oj& base, const oj& changes) {
    oj machine = base;
    if (!changes.is_object()) {
        return machine;
    }
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        // What a failed Place made on the way does not matter: the key put at the top level
        // makes the reader refuse the whole document.
        std::optional<std::vector<KeyStep>> steps = SplitKey(it.key());
        if (!steps || !Place(machine, *steps, *it)) {
            machine[it.key()] = *it;
        }
    }
    return machine;
}

oj ChangesBetween(const oj& base, const oj& other) {
    oj out = oj::object();
    CollectChanges(base, other, "", out);
    return out;
}

namespace {

// The keys that vary, each with its values (the base's own value first when the value set lacks
// it); a machine of the space is a row holding one value index per key.
struct Space {
    const oj* base = nullptr;
    std::vector<std::string> keys;
    std::vector<Values> levels;
    std::vector<int> baseLevel;
};
using Row = std::vector<int>;

oj ChangesOf(const Space& space, const Row& row) {
    oj changes = oj::object();
    for (size_t i = 0; i < row.size(); ++i) {
        if (row[i] != space.baseLevel[i]) {
            changes[space.keys[i]] = space.levels[i][static_cast<size_t>(row[i])];
        }
    }
    return changes;
}

bool Accepted(const oj& base, const oj& changes) {
    std::string error;
    return ParseMachine(ApplyChanges(base, changes).dump(), error).has_value();
}

// Which tuples of `strength` values of different keys some machine already holds. Tuples are
// numbered by the combination of keys (sorted key indices), then by their values in mixed radix.
class Coverage {
public:
    Coverage(const Space& space, int strength) : space_(space), t_(strength) {
        std::vector<int> combo;
        Combine(0, combo);
        offsets_.push_back(0);
        for (const std::vector<int>& c : combos_) {
            size_t count = 1;
            for (int key : c) {
                count *= space_.levels[static_cast<size_t>(key)].size();
            }
            offsets_.push_back(offsets_.back() + count);
        }
        covered_.assign(offsets_.back(), 0);
        uncovered_ = offsets_.back();
    }

    size_t Uncovered() const { return uncovered_; }
    size_t Total() const { return covered_.size(); }
    bool Covered(size_t tuple) const { return covered_[tuple] != 0; }

    // The tuple of `row` over `keys` (t_ of them, any order).
    size_t TupleOf(std::array<int, 3> keys, const Row& row) const {
        for (size_t i = 1; i < static_cast<size_t>(t_); ++i) { // insertion sort of 2 or 3
            for (size_t j = i; j > 0 && keys[j - 1] > keys[j]; --j) {
                std::swap(keys[j - 1], keys[j]);
            }
        }
        size_t id = 0;
        for (int i = 0; i < t_; ++i) {
            id = id * space_.keys.size() + static_cast<size_t>(keys[static_cast<size_t>(i)]);
        }
        const size_t combo = comboId_.at(id);
        size_t value = 0;
        for (int i = 0; i < t_; ++i) {
            const auto key = static_cast<size_t>(keys[static_cast<size_t>(i)]);
            value = value * space_.levels[key].size() + static_cast<size_t>(row[key]);
        }
        return offsets_[combo] + value;
    }

    // Marks every tuple `row` holds; returns how many were new.
    size_t Mark(const Row& row) {
        size_t added = 0;
        for (size_t tuple : TuplesOf(row)) {
            added += covered_[tuple] == 0 ? 1 : 0;
            uncovered_ -= covered_[tuple] == 0 ? 1 : 0;
            covered_[tuple] = 1;
        }
        return added;
    }

    size_t CountNew(const Row& row) const {
        size_t added = 0;
        for (size_t tuple : TuplesOf(row)) {
            added += covered_[tuple] == 0 ? 1 : 0;
        }
        return added;
    }

    void GiveUp(size_t tuple) {
        uncovered_ -= covered_[tuple] == 0 ? 1 : 0;
        covered_[tuple] = 1;
    }

    // The keys of `tuple` and its values, written into `row`.
    std::vector<int> Decode(size_t tuple, Row& row) const {
        const size_t combo = static_cast<size_t>(
            std::upper_bound(offsets_.begin(), offsets_.end(), tuple) - offsets_.begin() - 1);
        size_t value = tuple - offsets_[combo];
        const std::vector<int>& keys = combos_[combo];
        for (size_t i = keys.size(); i-- > 0;) {
            const size_t count = space_.levels[static_cast<size_t>(keys[i])].size();
            row[static_cast<size_t>(keys[i])] = static_cast<int>(value % count);
            value /= count;
        }
        return keys;
    }

private:
    void Combine(int from, std::vector<int>& combo) {
        const int k = static_cast<int>(space_.keys.size());
        if (static_cast<int>(combo.size()) == t_) {
            size_t id = 0;
            for (int key : combo) {
                id = id * space_.keys.size() + static_cast<size_t>(key);
            }
            comboId_.resize(std::max(comboId_.size(), id + 1));
            comboId_[id] = combos_.size();
            combos_.push_back(combo);
            return;
        }
        for (int key = from; key < k; ++key) {
            combo.push_back(key);
            Combine(key + 1, combo);
            combo.pop_back();
        }
    }

    std::vector<size_t> TuplesOf(const Row& row) const {
        std::vector<size_t> tuples;
        tuples.reserve(combos_.size());
        for (size_t c = 0; c < combos_.size(); ++c) {
            size_t value = 0;
            for (int key : combos_[c]) {
                const auto k = static_cast<size_t>(key);
                value = value * space_.levels[k].size() + static_cast<size_t>(row[k]);
            }
            tuples.push_back(offsets_[c] + value);
        }
        return tuples;
    }

    const Space& space_;
    int t_;
    std::vector<std::vector<int>> combos_;
    std::vector<size_t> comboId_;
    std::vector<size_t> offsets_;
    std::vector<uint8_t> covered_;
    size_t uncovered_ = 0;
};

// How many new tuples giving key `x` value `v` adds beside the keys already `assigned`.
size_t Gain(const Coverage& coverage, int strength, const std::vector<int>& assigned, int x, int v,
            Row& row) {
    row[static_cast<size_t>(x)] = v;
    size_t gain = 0;
    for (size_t a = 0; a < assigned.size(); ++a) {
        if (strength == 2) {
            gain += coverage.Covered(coverage.TupleOf({assigned[a], x, 0}, row)) ? 0 : 1;
            continue;
        }
        for (size_t b = a + 1; b < assigned.size(); ++b) {
            gain += coverage.Covered(coverage.TupleOf({assigned[a], assigned[b], x}, row)) ? 0 : 1;
        }
    }
    return gain;
}

// One candidate machine holding the tuple `fixed` (keys `fixedKeys`): the other keys in an
// order drawn from `rng`, each given its value adding the most new tuples (ties drawn too).
// `order` receives the free keys in the order they were given values.
Row Candidate(const Space& space, const Coverage& coverage, int strength, const Row& fixed,
              const std::vector<int>& fixedKeys, std::mt19937_64& rng, std::vector<int>& order) {
    Row row = fixed;
    std::vector<int> assigned = fixedKeys;
    order.clear();
    for (int key = 0; key < static_cast<int>(space.keys.size()); ++key) {
        if (std::find(fixedKeys.begin(), fixedKeys.end(), key) == fixedKeys.end()) {
            order.push_back(key);
        }
    }
    for (size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[rng() % i]);
    }
    for (int x : order) {
        const int count = static_cast<int>(space.levels[static_cast<size_t>(x)].size());
        int best = 0;
        size_t bestGain = 0;
        uint64_t ties = 0;
        for (int v = 0; v < count; ++v) {
            const size_t gain = Gain(coverage, strength, assigned, x, v, row);
            if (v == 0 || gain > bestGain) {
                best = v;
                bestGain = gain;
                ties = 1;
            } else if (gain == bestGain && rng() % ++ties == 0) {
                best = v;
            }
        }
        row[static_cast<size_t>(x)] = best;
        assigned.push_back(x);
    }
    return row;
}

// Puts the free keys of `row` back to the base, last given first, until the schema accepts it.
// False when even the base beside the fixed tuple is refused.
bool Repair(const Space& space, Row& row, const std::vector<int>& order) {
    for (size_t i = order.size() + 1; i-- > 0;) {
        if (Accepted(*space.base, ChangesOf(space, row))) {
            return true;
        }
        if (i > 0) {
            row[static_cast<size_t>(order[i - 1])] =
                space.baseLevel[static_cast<size_t>(order[i - 1])];
        }
    }
    return false;
}

// An uncovered tuple, searched for from a point drawn from `rng`.
size_t PickUncovered(const Coverage& coverage, std::mt19937_64& rng) {
    const size_t start = rng() % coverage.Total();
    for (size_t i = 0; i < coverage.Total(); ++i) {
        const size_t tuple = (start + i) % coverage.Total();
        if (!coverage.Covered(tuple)) {
            return tuple;
        }
    }
    return start;
}

// The covering array's machines, after the single changes already marked in `coverage`.
// Each machine is handed to `take` as it is made; false from it ends the array there (the
// limit reached, or the generation stopped), and what came before is the same as without it.
void CoveringRows(const Space& space, Coverage& coverage, int strength, std::mt19937_64& rng,
                  const std::function<bool(const Row&)>& take) {
    const int candidates = strength == 2 ? 16 : 2;
    while (coverage.Uncovered() > 0) {
        const size_t seedTuple = PickUncovered(coverage, rng);
        Row fixed = space.baseLevel;
        const std::vector<int> fixedKeys = coverage.Decode(seedTuple, fixed);
        Row best;
        std::vector<int> bestOrder;
        size_t bestNew = 0;
        for (int c = 0; c < candidates; ++c) {
            std::vector<int> order;
            Row row = Candidate(space, coverage, strength, fixed, fixedKeys, rng, order);
            const size_t added = coverage.CountNew(row);
            if (best.empty() || added > bestNew) {
                best = std::move(row);
                bestOrder = std::move(order);
                bestNew = added;
            }
        }
        if (!Repair(space, best, bestOrder)) {
            coverage.GiveUp(seedTuple); // no machine the schema accepts holds it beside the base
            continue;
        }
        coverage.Mark(best);
        if (!take(best)) {
            return;
        }
    }
}

// The keys that vary, in the value sets' order; nullopt with `problem` for a key that cannot.
std::optional<Space> BuildSpace(const oj& base, const std::vector<std::string>& given,
                                std::string& problem) {
    for (const std::string& key : given) {
        const auto& known = DefaultMachineKeys();
        if (ValueSet(key).empty()) {
            problem = std::find(known.begin(), known.end(), key) == known.end()
                          ? "unknown key \"" + key + "\" (simbook help keys lists them)"
                          : "key \"" + key + "\" has no value set";
            return std::nullopt;
        }
        if (Lookup(base, key) == nullptr) {
            problem = "key \"" + key + "\" is not in the base machine";
            return std::nullopt;
        }
    }
    Space space;
    space.base = &base;
    for (const auto& [key, values] : ValueSets()) {
        const bool wanted = given.empty()
                                ? Lookup(base, key) != nullptr
                                : std::find(given.begin(), given.end(), key) != given.end();
        if (!wanted) {
            continue;
        }
        const oj& own = *Lookup(base, key);
        Values levels = values;
        auto at = std::find(levels.begin(), levels.end(), own);
        if (at == levels.end()) {
            levels.insert(levels.begin(), own);
            at = levels.begin();
        }
        space.baseLevel.push_back(static_cast<int>(at - levels.begin()));
        space.keys.push_back(key);
        space.levels.push_back(std::move(levels));
    }
    return space;
}

// Every value of every key on its own, where the schema accepts it.
std::vector<Row> SingleRows(const Space& space) {
    std::vector<Row> rows;
    for (size_t k = 0; k < space.keys.size(); ++k) {
        for (size_t v = 0; v < space.levels[k].size(); ++v) {
            Row row = space.baseLevel;
            row[k] = static_cast<int>(v);
            if (row[k] != space.baseLevel[k] && Accepted(*space.base, ChangesOf(space, row))) {
                rows.push_back(std::move(row));
            }
        }
    }
    return rows;
}

// The ready machines as changes from `base`; one that cannot be read is left out (the ready
// machines' own tests keep them readable).
std::vector<GeneratedMachine> ReadyChanges(const oj& base) {
    std::vector<GeneratedMachine> out;
    const std::string dir = MachinesDir();
    for (const std::string& name : ReadyMachines(dir)) {
        std::string problem;
        std::optional<LoadedMachine> loaded = LoadMachineFile(ReadyMachinePath(dir, name), problem);
        if (loaded) {
            out.push_back({ChangesBetween(base, loaded->json), "ready:" + name});
        }
    }
    return out;
}

// Adds `machine` unless it is the base or already there.
void Add(GeneratedMachine machine, std::set<std::string>& seen,
         std::vector<GeneratedMachine>& out) {
    if (!machine.changes.empty() && seen.insert(machine.changes.dump()).second) {
        out.push_back(std::move(machine));
    }
}

} // namespace

std::optional<std::vector<GeneratedMachine>>
GenerateMachines(const oj& base, const SpaceOptions& options, std::string& problem) {
    if (options.strength < 1 || options.strength > 3) {
        problem = "strength must be 1, 2 or 3, got " + std::to_string(options.strength);
        return std::nullopt;
    }
    std::optional<Space> space = BuildSpace(base, options.keys, problem);
    if (!space) {
        return std::nullopt;
    }
    std::mt19937_64 rng(options.seed);
    std::set<std::string> seen;
    std::vector<GeneratedMachine> out;
    const std::vector<Row> singles = SingleRows(*space);
    for (const Row& row : singles) {
        Add({ChangesOf(*space, row), "single"}, seen, out);
    }
    // Fewer keys than the strength: every combination of the keys there are.
    const int strength = std::min(options.strength, static_cast<int>(space->keys.size()));
    if (strength > 1) {
        Coverage coverage(*space, strength);
        for (const Row& row : singles) {
            coverage.Mark(row);
        }
        // Machines past the limit are never kept, so the array stops once the list is that
        // long: the first machines are the same as a longer run's.
        const char* origin = strength == 2 ? "pair" : "triple";
        bool stopped = false;
        CoveringRows(*space, coverage, strength, rng, [&](const Row& row) {
            Add({ChangesOf(*space, row), origin}, seen, out);
            stopped = options.stopped && options.stopped();
            return !stopped && (options.limit == 0 || out.size() < options.limit);
        });
        if (stopped) {
            problem = "interrupted";
            return std::nullopt;
        }
    }
    if (options.ready) {
        for (GeneratedMachine& machine : ReadyChanges(base)) {
            if (Accepted(base, machine.changes)) {
                Add(std::move(machine), seen, out);
            }
        }
    }
    if (options.limit != 0 && out.size() > options.limit) {
        out.resize(options.limit);
    }
    return out;
}

} // namespace simbook::cli
