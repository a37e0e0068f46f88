#include "channel_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <openssl/sha.h>
#include <unistd.h>

#include "simbook/driver/cipher.h"
#include "simbook/machine.h"
#include "simbook/trace.h"
#include "support/trace.h"

namespace channel_test {

const uint16_t kPinnedTime[8] = {2026, 12, 1, 7, 13, 47, 41, 0};

uint32_t Le32(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes.at(at)) | (static_cast<uint32_t>(bytes.at(at + 1)) << 8) |
           (static_cast<uint32_t>(bytes.at(at + 2)) << 16) |
           (static_cast<uint32_t>(bytes.at(at + 3)) << 24);
}

uint16_t Le16(const Bytes& bytes, size_t at) {
    return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8));
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutLe16(Bytes& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

HandshakeRandom ReferenceHandshakeRandom(int64_t counter, const uint16_t time[8]) {
    // Seed: SHA-1 over the 8 counter bytes, then the 16 time bytes, little-endian.
    uint8_t seed[24];
    for (int i = 0; i < 8; ++i) {
        seed[i] = static_cast<uint8_t>(static_cast<uint64_t>(counter) >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) {
        seed[8 + 2 * i] = static_cast<uint8_t>(time[i]);
        seed[9 + 2 * i] = static_cast<uint8_t>(time[i] >> 8);
    }
    uint8_t pool[20];
    SHA1(seed, sizeof(seed), pool);
    uint32_t pos = 0;
    auto next = [&]() {
        uint32_t p = pos >= 16 ? 0 : pos;
        uint32_t word = static_cast<uint32_t>(pool[p]) | (static_cast<uint32_t>(pool[p + 1]) << 8) |
                        (static_cast<uint32_t>(pool[p + 2]) << 16) |
                        (static_cast<uint32_t>(pool[p + 3]) << 24);
        uint8_t step[20];
        std::copy(pool + 2, pool + 18, step);
        for (int i = 0; i < 4; ++i) {
            step[16 + i] = static_cast<uint8_t>(p >> (8 * i));
        }
        SHA1(step, sizeof(step), pool);
        pos = (p + 4) % 20;
        return word;
    };
    HandshakeRandom r{};
    for (uint32_t& w : r.x) {
        w = next();
    }
    for (uint32_t& w : r.nc) {
        w = next();
    }
    for (uint32_t& w : r.sk) {
        w = next();
    }
    return r;
}

void ChannelTest::SetUp() {
    scratch_.emplace("channel-test");
    dir_ = scratch_->Dir();
    tracePath_ = dir_ / "trace.jsonl";
}

void ChannelTest::TearDown() {
    // The trace is closed before its folder goes.
    unsetenv("SIMBOOK_TRACE");
    simbook::ReopenTraceForTests();
    scratch_.reset();
}

json ChannelTest::MachineWith(const json& driver, const json& firmware) {
    json machine = {{"clock",
                     {{"system_time",
                       {kPinnedTime[0], kPinnedTime[1], kPinnedTime[2], kPinnedTime[3],
                        kPinnedTime[4], kPinnedTime[5], kPinnedTime[6], kPinnedTime[7]}},
                      {"performance_counter", kPinnedCounter}}},
                    {"driver", json::object()},
                    {"firmware", json::object()}};
    machine["driver"].update(driver);
    machine["firmware"].update(firmware);
    return machine;
}

void ChannelTest::UseMachine(const json& machine) {
    std::filesystem::path path = dir_ / "machine.json";
    {
        std::ofstream file(path);
        file << machine.dump(2);
    }
    std::filesystem::remove(tracePath_);
    setenv("SIMBOOK", path.c_str(), 1);
    setenv("SIMBOOK_TRACE", tracePath_.c_str(), 1);
    simbook::ReloadMachineForTests();
    simbook::ReopenTraceForTests();
}

std::vector<json> ChannelTest::TraceLines() const {
    return nwt::test::ReadTrace(tracePath_);
}

std::vector<Exchange> ChannelTest::Exchanges() const {
    std::vector<Exchange> exchanges;
    for (const json& line : TraceLines()) {
        if (line.value("op", "") != "DeviceIoControl") {
            continue;
        }
        Exchange e;
        e.code = line.at("code").get<DWORD>();
        e.in = FromHex(line.at("in").get<std::string>());
        e.out = FromHex(line.at("out").get<std::string>());
        e.result = line.at("result").get<bool>();
        e.lastError = line.at("last_error").get<DWORD>();
        exchanges.push_back(e);
    }
    return exchanges;
}

std::vector<Exchange> ChannelTest::Exchanges(DWORD code) const {
    std::vector<Exchange> selected;
    for (const Exchange& e : Exchanges()) {
        if (e.code == code) {
            selected.push_back(e);
        }
    }
    return selected;
}

Bytes ChannelTest::CapsulePayload(const Bytes& capsule, const uint8_t* sessionKey) {
    if (capsule.size() < 16) {
        ADD_FAILURE() << "capsule of " << capsule.size() << " bytes: " << ToHex(capsule);
        return {};
    }
    uint32_t length = Le32(capsule, 0);
    uint32_t total = Le32(capsule, 4);
    EXPECT_EQ(total, capsule.size()) << ToHex(capsule);
    Bytes area(capsule.begin() + 12, capsule.end() - 4);
    if (sessionKey != nullptr) {
        simbook::ChannelBlowfish cipher;
        cipher.SetKey(sessionKey, 16);
        for (size_t i = 0; i + 8 <= area.size(); i += 8) {
            cipher.Decipher(area.data() + i);
        }
    }
    if (length > area.size()) {
        ADD_FAILURE() << "payload length " << length << " beyond the capsule " << ToHex(capsule);
        return area;
    }
    area.resize(length);
    return area;
}

Bytes ChannelTest::RequestPacket(const Bytes& capsule, const uint8_t* sessionKey) {
    Bytes request = CapsulePayload(capsule, sessionKey);
    if (request.size() < 24) {
        ADD_FAILURE() << "encapsulated request of " << request.size() << " bytes";
        return {};
    }
    uint32_t n = Le32(request, 12);
    EXPECT_EQ(Le32(request, 4), n + 24);
    EXPECT_EQ(Le32(request, 8), kFirmwareCallCode);
    EXPECT_EQ(request.size(), n + 24);
    const auto end = static_cast<std::ptrdiff_t>(20 + std::min<size_t>(n, request.size() - 20));
    return Bytes(request.begin() + 20, request.begin() + end);
}

} // namespace channel_test
