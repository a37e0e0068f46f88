// Reader for the known-answer files in data/: records of "Name = value" lines separated by
// blank lines, '#' starting a comment line. Values are kept as text; hex() decodes byte strings.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vec {

using Record = std::map<std::string, std::string>;

inline std::string path(const std::string& name) {
    return std::string(CRYPTO_TEST_DATA) + "/" + name;
}

inline std::vector<Record> load(const std::string& name) {
    std::ifstream in(path(name));
    if (!in) {
        throw std::runtime_error("cannot open " + path(name));
    }
    std::vector<Record> records;
    Record current;
    std::string line;
    int lineNumber = 0;
    auto flush = [&] {
        if (!current.empty()) {
            records.push_back(current);
            current.clear();
        }
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#') {
            continue;
        }
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) {
            throw std::runtime_error(path(name) + ":" + std::to_string(lineNumber) +
                                     ": expected 'Name = value'");
        }
        current[line.substr(0, eq)] = line.substr(eq + 3);
    }
    flush();
    return records;
}

inline std::vector<uint8_t> hex(const std::string& text) {
    if (text.size() % 2 != 0) {
        throw std::runtime_error("odd-length hex: " + text);
    }
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    }
    return bytes;
}

inline std::string to_hex(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

} // namespace vec
