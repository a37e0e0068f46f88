// Fuzz target: brenvik's command line and sundrel's argument, each against a reference of what
// the README says they accept. The input is the argument list: arguments end at each zero byte
// (the last one at the end of the input); a byte 0xFF and the two bytes after it are one wide
// character (little-endian), any other byte is the character of that value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brenvik/brenvik.h"
#include "platform/win32.h"
#include "sundrel/sundrel_scan.h"
#include "wide_text.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "command line fuzz: %s\n", what);
        std::abort();
    }
}

std::vector<std::wstring> Arguments(const uint8_t* data, size_t size) {
    std::vector<std::wstring> args{L"program"};
    std::wstring current;
    for (size_t i = 0; i < size;) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
            ++i;
        } else {
            i = fuzz_support::AppendWideCharacter(data, size, i, current);
        }
    }
    if (size != 0) {
        args.push_back(current);
    }
    return args;
}

// brenvik: one or two of the six exact options.
bool BrenvikOption(const std::wstring& text, CSetInfo& info) {
    static const struct {
        const wchar_t* text;
        int32_t item;
        int32_t value;
    } kOptions[] = {{L"/wl:ENABLE", ITEM_WLAN, VALUE_ENABLE},
                    {L"/wl:DISABLE", ITEM_WLAN, VALUE_DISABLE},
                    {L"/wl:NONE", ITEM_WLAN, VALUE_NONE},
                    {L"/ws:ENABLE", ITEM_WIRELESS_SWITCH, VALUE_ENABLE},
                    {L"/ws:DISABLE", ITEM_WIRELESS_SWITCH, VALUE_DISABLE},
                    {L"/ws:NONE", ITEM_WIRELESS_SWITCH, VALUE_NONE}};
    for (const auto& option : kOptions) {
        if (text == option.text) {
            info = CSetInfo(option.item, option.value);
            return true;
        }
    }
    return false;
}

void CheckBrenvik(int argc, wchar_t** argv, const std::vector<std::wstring>& args) {
    std::vector<CSetInfo> expected;
    bool valid = argc == 2 || argc == 3;
    for (int i = 1; valid && i < argc; ++i) {
        CSetInfo info;
        valid = BrenvikOption(args[static_cast<size_t>(i)], info);
        expected.push_back(info);
    }
    std::vector<CSetInfo> options;
    const int32_t result = brenvik::ParseCommandLine(argc, argv, options);
    Check(result == (valid ? brenvik::EXIT_OK : brenvik::EXIT_BAD_COMMAND),
          "brenvik's command line verdict differs from the reference");
    if (valid) {
        Check(options.size() == expected.size(), "brenvik parsed another number of options");
        for (size_t i = 0; i < options.size(); ++i) {
            Check(options[i]._nItem == expected[i]._nItem &&
                      options[i]._nValue == expected[i]._nValue,
                  "brenvik parsed an option as another");
        }
    }
}

// sundrel: "{8-4-4-4-12}" in hexadecimal digits, not all zero; the GUID it names.
bool SundrelArgument(const std::wstring& text, GUID& guid) {
    static const GUID kNull{};
    return fuzz_support::RegistryFormGuid(text, guid) &&
           std::memcmp(&guid, &kNull, sizeof guid) != 0;
}

void CheckSundrel(int argc, wchar_t** argv, const std::vector<std::wstring>& args) {
    GUID expected{};
    const bool valid = argc == 2 && SundrelArgument(args[1], expected);
    GUID parsed{};
    Check(ParseInterfaceArgument(argc, argv, parsed) == valid,
          "sundrel's argument verdict differs from the reference");
    if (valid) {
        Check(std::memcmp(&parsed, &expected, sizeof parsed) == 0, "sundrel parsed another GUID");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::wstring> args = Arguments(data, size);
    if (args.size() > 16) {
        return 0;
    }
    // Each argument in a block of exactly its size, so that a read past its end is caught.
    std::vector<std::vector<wchar_t>> blocks;
    std::vector<wchar_t*> argv;
    for (const std::wstring& arg : args) {
        blocks.emplace_back(arg.c_str(), arg.c_str() + arg.size() + 1);
    }
    for (auto& block : blocks) {
        argv.push_back(block.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    // The references read each argument as the programs do: up to its first zero character.
    std::vector<std::wstring> seen;
    for (int i = 0; i < argc; ++i) {
        seen.emplace_back(argv[static_cast<size_t>(i)]);
    }
    CheckBrenvik(argc, argv.data(), seen);
    CheckSundrel(argc, argv.data(), seen);
    return 0;
}
