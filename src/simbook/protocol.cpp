// The names of the firmware's functions and statuses, and the table of the three programs.
#include "simbook/protocol.h"

#include <cinttypes>
#include <cstdio>

namespace simbook::protocol {
namespace {

constexpr ExitStatus kBrenvikStatuses[] = {
    {0, Verdict::Success, "every option was applied"},
    {-1, Verdict::Failure,
     "failure: the driver could not be opened or turned the handshake down, the password state "
     "could not be read, or a write failed"},
    {-2, Verdict::Failure, "failure: no driver found, or it failed the authentication"},
    {-3, Verdict::Failure, "the command line was rejected; the driver was not touched"},
    {-4, Verdict::Failure, "a firmware password is set; nothing was changed"},
};

constexpr ExitStatus kTolmareStatuses[] = {
    {-1, Verdict::Failure,
     "failure: a read failed, or the driver could not be opened or turned the handshake down"},
    {-2, Verdict::Failure, "failure: no driver found, or it failed the authentication"},
};

constexpr ExitStatus kSundrelStatuses[] = {
    {0, Verdict::Success, "networks listed"},
    {1, Verdict::Success, "the scan ended, but no network name to print"},
    {-1, Verdict::Failure,
     "failure: the Wi-Fi service, the registration, the scan or the list failed, or no end of "
     "scan came"},
    {-2, Verdict::None, "not exactly one argument, or not a well-formed GUID"},
};

// brenvik prints its success word for 0 alone; the other two for every status of 0 or more.
constexpr Program kPrograms[] = {
    {"brenvik", "brenvik[SUCCESS]", "brenvik[FAILURE]", kBrenvikStatuses, false, Verdict::Failure},
    {"tolmare", "tolmare[SUCCESS]\r\n", "tolmare[FAILURE]\r\n", kTolmareStatuses, true,
     Verdict::Success},
    {"sundrel", "sundrel[SUCCESS]\r\n", "sundrel[FAILURE]\r\n", kSundrelStatuses, false,
     Verdict::Success},
};

const ExitStatus* Listed(const Program& program, int64_t status) {
    for (const ExitStatus& row : program.statuses) {
        if (row.status == status) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

const char* FunctionName(int function) {
    switch (function) {
    case function::kReadIndexedSetting:
        return "ReadIndexedSetting";
    case function::kWriteIndexedSetting:
        return "WriteIndexedSetting";
    case function::kGetSetupItem:
        return "GetSetupItem";
    case function::kSetSetupItem:
        return "SetSetupItem";
    case function::kGetPasswordInfo:
        return "GetPasswordInfo";
    case function::kGetPasswordState:
        return "GetPasswordState";
    default:
        return nullptr;
    }
}

const char* StatusName(int function, int status) {
    switch (status) {
    case status::kDone:
        return "done";
    case status::kUnsupported:
        return "not supported";
    case status::kPasswordNotSet:
        return function == function::kGetPasswordState ? "not set" : nullptr;
    case status::kBadPacket:
        return "bad packet";
    case status::kBusy:
        return "busy";
    case status::kTooSmall:
        return "data area too small";
    default:
        return nullptr;
    }
}

const char* VerdictWord(Verdict verdict) {
    switch (verdict) {
    case Verdict::Success:
        return "SUCCESS";
    case Verdict::Failure:
        return "FAILURE";
    case Verdict::None:
        break;
    }
    return "(nothing)";
}

std::span<const Program> Programs() {
    return kPrograms;
}

const Program* FindProgram(std::string_view name) {
    for (const Program& program : kPrograms) {
        if (name == program.name) {
            return &program;
        }
    }
    return nullptr;
}

Verdict VerdictOf(const Program& program, int64_t status) {
    if (const ExitStatus* row = Listed(program, status)) {
        return row->verdict;
    }
    return status < 0 ? Verdict::Failure : program.otherwise;
}

const char* ExitMeaning(const Program& program, int64_t status) {
    if (const ExitStatus* row = Listed(program, status)) {
        return row->meaning;
    }
    if (program.statusIsMask && status >= 0 && status <= INT32_MAX) {
        return "every item was read; each bit set is an item that reads on";
    }
    return nullptr;
}

std::string ExitStatusText(const Program* program, int64_t status) {
    if (program != nullptr && program->statusIsMask && status > 0) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08" PRIx32, static_cast<uint32_t>(status));
        return text;
    }
    return std::to_string(status);
}

} // namespace simbook::protocol
