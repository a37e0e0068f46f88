// How deep JSON text nests its arrays and objects, counted on the text itself, so that no parser,
// copy or dump recurses on a depth that a file, a trace line or a command line chose.
#pragma once

#include <cstddef>
#include <string>

namespace simbook {

// The deepest nesting simbook reads in a machine file, a trace line or a value given to
// `simbook set`. Machine files nest 6 levels; the rest is room.
constexpr int kMaxJsonNesting = 32;

// Whether `text` nests arrays and objects at most `limit` deep. Brackets inside strings do not
// count; the text need not be valid JSON.
inline bool NestedWithin(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace simbook
