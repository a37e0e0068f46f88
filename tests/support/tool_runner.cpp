#include "support/tool_runner.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <sstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

Scratch::Scratch() {
    std::string base = std::filesystem::temp_directory_path().string() + "/nwt-e2e-XXXXXX";
    std::vector<char> buffer(base.begin(), base.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    _dir = buffer.data();
}

Scratch::~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(_dir, ec);
}

void Overlay(nlohmann::json& base, const nlohmann::json& overrides) {
    for (auto it = overrides.begin(); it != overrides.end(); ++it) {
        if (it->is_object() && base.contains(it.key()) && base[it.key()].is_object()) {
            Overlay(base[it.key()], *it);
        } else {
            base[it.key()] = *it;
        }
    }
}

nlohmann::json Machine(const nlohmann::json& overrides) {
    nlohmann::json machine = {
        {"clock",
         {{"system_time", {2026, 12, 1, 7, 13, 47, 41, 0}}, {"performance_counter", 1234567890}}},
    };
    Overlay(machine, overrides);
    return machine;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

} // namespace

bool UnderWine() {
    return !Environment("NWT_E2E_WINE_RUN").empty();
}

RunResult Run(const Scratch& scratch, const std::string& linuxProgram,
              const std::vector<std::string>& args, const std::string& machineFile) {
    if (!UnderWine()) {
        return RunLinux(scratch, linuxProgram, args, machineFile);
    }
    const std::string name = linuxProgram.substr(linuxProgram.find_last_of('/') + 1);
    std::vector<std::string> wineArgs = {Environment("NWT_E2E_WINDOWS_BIN") + "/" + name + ".exe"};
    wineArgs.insert(wineArgs.end(), args.begin(), args.end());
    return RunLinux(scratch, Environment("NWT_E2E_WINE_RUN"), wineArgs, machineFile);
}

RunResult RunLinux(const Scratch& scratch, const std::string& program,
                   const std::vector<std::string>& args, const std::string& machineFile) {
    std::vector<std::string> argText{program};
    const std::string tracePath = scratch.Path("trace.jsonl");
    const std::string outPath = scratch.Path("stdout");
    const std::string errPath = scratch.Path("stderr");
    WriteFile(tracePath, "");

    // The child's environment: ours, with the two simbook variables replaced.
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "SIMBOOK=", 8) != 0 && std::strncmp(*e, "SIMBOOK_TRACE=", 14) != 0) {
            envText.emplace_back(*e);
        }
    }
    envText.push_back("SIMBOOK=" + machineFile);
    envText.push_back("SIMBOOK_TRACE=" + tracePath);
    std::vector<char*> envp;
    for (std::string& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }

    RunResult result;
    result.rawExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    std::istringstream lines(ReadFile(tracePath));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) {
            continue;
        }
        result.trace.push_back(nlohmann::json::parse(line));
    }
    if (!result.trace.empty() && result.trace.back().value("op", "") == "exit") {
        result.exitStatus = result.trace.back().at("status").get<int32_t>();
    }
    return result;
}

std::vector<nlohmann::json> IoControls(const RunResult& run, std::optional<uint32_t> code) {
    std::vector<nlohmann::json> lines;
    for (const nlohmann::json& line : run.trace) {
        if (line.value("op", "") != "DeviceIoControl") {
            continue;
        }
        if (code && line.at("code").get<uint32_t>() != *code) {
            continue;
        }
        lines.push_back(line);
    }
    return lines;
}

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

} // namespace

std::vector<int> PlainFirmwareFunctions(const RunResult& run) {
    // Capsule header 12 bytes, then the encapsulated request: 20 bytes of header before the
    // packet, whose first byte is the function number.
    constexpr size_t PACKET_OFFSET = 12 + 20;
    std::vector<int> functions;
    for (const nlohmann::json& line : IoControls(run, IOCTL_CAPSULE)) {
        const std::vector<uint8_t> in = FromHex(line.at("in").get<std::string>());
        if (in.size() > PACKET_OFFSET) {
            functions.push_back(in[PACKET_OFFSET]);
        }
    }
    return functions;
}

} // namespace e2e
