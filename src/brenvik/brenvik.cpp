// brenvik's command line, password guard, application of the options, and the run.
#include "brenvik/brenvik.h"

#include <cwchar>
#include <new>
#include <stdexcept>

#include "platform/win32.h"

namespace brenvik {

namespace {

constexpr size_t PREFIX_LENGTH = 4;

struct OptionPrefix {
    const wchar_t* text;
    int32_t item;
};

constexpr OptionPrefix PREFIXES[] = {
    {L"/wl:", ITEM_WLAN},
    {L"/ws:", ITEM_WIRELESS_SWITCH},
};

struct OptionValue {
    const wchar_t* text;
    size_t length;
    int32_t code;
};

constexpr OptionValue VALUES[] = {
    {L"DISABLE", 7, VALUE_DISABLE},
    {L"ENABLE", 6, VALUE_ENABLE},
    {L"NONE", 4, VALUE_NONE},
};

// Fills `info` from one option; false when the option is not exactly prefix + value.
bool ParseOption(const wchar_t* option, CSetInfo& info) {
    if (option == nullptr) {
        return false;
    }
    const size_t length = std::wcslen(option);
    if (length <= PREFIX_LENGTH) {
        return false;
    }
    bool prefixFound = false;
    for (const OptionPrefix& prefix : PREFIXES) {
        if (std::wcsncmp(option, prefix.text, PREFIX_LENGTH) == 0) {
            info._nItem = prefix.item;
            prefixFound = true;
            break;
        }
    }
    if (!prefixFound) {
        return false;
    }
    // The value is the whole rest of the option: its length picks the one word it may be.
    const wchar_t* rest = option + PREFIX_LENGTH;
    const size_t restLength = length - PREFIX_LENGTH;
    for (const OptionValue& value : VALUES) {
        if (restLength == value.length && std::wcsncmp(rest, value.text, value.length) == 0) {
            info._nValue = value.code;
            return true;
        }
    }
    return false;
}

} // namespace

int32_t ParseCommandLine(int argc, wchar_t** argv, std::vector<CSetInfo>& options) {
    if (argc != 2 && argc != 3) {
        return EXIT_BAD_COMMAND;
    }
    if (argv == nullptr) {
        return EXIT_BAD_COMMAND;
    }
    for (int i = 1; i < argc; ++i) {
        CSetInfo info;
        if (!ParseOption(argv[i], info)) {
            return EXIT_BAD_COMMAND;
        }
        try {
            options.push_back(info);
        } catch (const std::bad_alloc&) {
            return EXIT_FAILED;
        } catch (const std::length_error&) {
            return EXIT_FAILED;
        }
    }
    return EXIT_OK;
}

int32_t CheckPasswords(CMiscFuncWrapper& wrapper) {
    std::vector<CGetInfo> passwords;
    if (wrapper.GetPasswords(passwords) != WRAPPER_OK) {
        return EXIT_FAILED;
    }
    int32_t result = EXIT_FAILED; // stays so when no password item came back
    for (const CGetInfo& info : passwords) {
        if (info._nItem != ITEM_SUPERVISOR_PASSWORD && info._nItem != ITEM_USER_PASSWORD) {
            continue;
        }
        if (info._nValue != VALUE_DISABLE) {
            return EXIT_PASSWORD_SET;
        }
        result = EXIT_OK;
    }
    return result;
}

int32_t ApplySettings(CMiscFuncWrapper& wrapper, const std::vector<CSetInfo>& options) {
    const int32_t guard = CheckPasswords(wrapper);
    if (guard != EXIT_OK) {
        return guard;
    }
    if (options.empty()) {
        return EXIT_FAILED;
    }
    for (const CSetInfo& option : options) {
        int32_t result = WRAPPER_FAILED;
        if (option._nItem == ITEM_WLAN) {
            result = wrapper.SetWlan(option);
        } else if (option._nItem == ITEM_WIRELESS_SWITCH) {
            result = wrapper.SetWirelessSwitch(option);
        }
        if (result != WRAPPER_OK) {
            return EXIT_FAILED;
        }
    }
    return EXIT_OK;
}

int32_t Run(int argc, wchar_t** argv) {
    std::vector<CSetInfo> options;
    int32_t status = ParseCommandLine(argc, argv, options);
    if (status != EXIT_OK) {
        ConsolePrintW(L"brenvik[FAILURE]");
        return status;
    }
    {
        CMiscFuncWrapper wrapper;
        const int32_t opened = wrapper.Open();
        if (opened == WRAPPER_OK) {
            status = ApplySettings(wrapper, options);
            wrapper.Close();
        } else {
            status = opened == WRAPPER_NO_DRIVER ? EXIT_NO_DRIVER : EXIT_FAILED;
        }
    }
    ConsolePrintW(status == EXIT_OK ? L"brenvik[SUCCESS]" : L"brenvik[FAILURE]");
    return status;
}

} // namespace brenvik
