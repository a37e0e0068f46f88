// The key space that `simbook explore` searches: a set of values for each machine key, and the
// machines made from a base machine by giving keys those values (each change on its own, a
// covering array over the keys, the ready machines), in an order fixed by a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simbook::cli {

// The values explore gives `key` (a dotted machine key as `simbook help keys` lists it, indices
// included): small domains every value, wide ranges their boundaries and a few representatives.
// Every value is one the schema accepts for that key on its own (setting58 and its stray bits
// also depend on setting58_width: GenerateMachines drops the machines where they do not fit).
// Of the interfaces' keys only those of wlan.interfaces[0] have values. Empty for a key that
// has no value set (`description`, `$schema`, unknown keys).
std::vector<nlohmann::ordered_json> ValueSet(const std::string& key);

// Every key with a value set, in the order `simbook help keys` lists them.
const std::vector<std::string>& ValueSetKeys();

struct SpaceOptions {
    std::vector<std::string> keys; // the keys that vary; empty: every key with a value set
    int strength = 2;              // 1 (single changes only), 2 or 3
    uint64_t seed = 0;
    size_t limit =
        0; // at most this many machines; 0: no limit (--limit 0 is refused by the parser)
    bool ready = true; // the ready machines too
    // Asked between machines of the covering array: true stops the generation (an interrupt).
    std::function<bool()> stopped;
};

struct GeneratedMachine {
    // dotted key -> value, only keys that differ from the base, in key order
    nlohmann::ordered_json changes;
    std::string origin; // "single", "pair", "triple", or "ready:NAME"

    // Construction is left without noexcept: a JSON value's is not declared so to every checker.
    GeneratedMachine() noexcept(false) {}
    GeneratedMachine(nlohmann::ordered_json c, std::string o) noexcept(false)
        : changes(std::move(c)), origin(std::move(o)) {}
};

// The machines of the space around `base` (MachineJson of the --from machine), in a fixed order
// for a given seed: every single change on its own, then a covering array of `strength` over
// the keys (every pair/triple of values of different keys in at least one machine, unless no
// machine the schema accepts holds it beside the base's other values), then the ready machines
// as their changes from the base. Duplicates, the base itself and machines the schema refuses
// are dropped. With no `keys`, the keys vary that have a value set and are in the base (the keys
// of wlan.interfaces[0] only when the base has that interface). None, with `problem`, for an
// unknown key in `keys`, a key with no value set or not in the base, a strength out of 1..3.
std::optional<std::vector<GeneratedMachine>> GenerateMachines(const nlohmann::ordered_json& base,
                                                              const SpaceOptions& options,
                                                              std::string& problem);

// `base` with `changes` applied (dotted keys; indices into lists, one past the end appends), as
// a whole machine document. A change whose key cannot be placed (malformed, an index further
// past the end, a value in the way that is no object or list) is put at the top level under its
// whole key, so that ParseMachine refuses the document naming that key.
nlohmann::ordered_json ApplyChanges(const nlohmann::ordered_json& base,
                                    const nlohmann::ordered_json& changes);

// The changes that make `base` into `other` (both MachineJson documents): each differing leaf
// by its dotted key, a list of interfaces of another length as one whole value. A key only
// `base` has (the step beside a list of busy replies or scans) is left as it is: beside one
// value the reader ignores it.
nlohmann::ordered_json ChangesBetween(const nlohmann::ordered_json& base,
                                      const nlohmann::ordered_json& other);

} // namespace simbook::cli
