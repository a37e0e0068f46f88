// Untrusted input that simbook must survive: machine files mangled at random and firmware packets
// of every shape. Each case must end in a clean answer or a clean error (the sanitizer build
// turns any read or write out of bounds into a failure). The seed is printed; set
// SIMBOOK_TEST_SEED to replay a run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "simbook/driver/driver.h"
#include "simbook/driver/firmware.h"
#include "simbook/machine.h"
#include "support/protocol.h"

namespace {

namespace wire = nwt::test::protocol;

uint32_t Seed() {
    const char* fixed = std::getenv("SIMBOOK_TEST_SEED");
    uint32_t seed = fixed ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 0))
                          : static_cast<uint32_t>(std::random_device{}());
    std::printf("SIMBOOK_TEST_SEED=%u\n", seed);
    return seed;
}

// One random edit of the text: a flipped byte, a cut, a duplicated run or an inserted token.
std::string Mangle(std::string text, std::mt19937& rng) {
    static const char* const kTokens[] = {"null", "-1",          "1e99",     "\"\"",
                                          "[]",   "{}",          "\"{zz}\"", "4294967296",
                                          "true", "\"\\u0000\"", ","};
    auto at = [&](size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n)(rng);
    };
    switch (rng() % 4) {
    case 0:
        if (!text.empty()) {
            text[at(text.size() - 1)] = static_cast<char>(rng());
        }
        break;
    case 1:
        text.resize(at(text.size()));
        break;
    case 2: {
        size_t from = at(text.size());
        size_t length = at(std::min<size_t>(40, text.size() - from));
        text.insert(at(text.size()), text.substr(from, length));
        break;
    }
    default:
        text.insert(at(text.size()), kTokens[rng() % std::size(kTokens)]);
        break;
    }
    return text;
}

TEST(Robustness, MangledMachineFilesParseOrNameTheirProblem) {
    std::mt19937 rng(Seed());
    const std::string original = simbook::DefaultMachineText();
    int accepted = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = original;
        for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
            text = Mangle(text, rng);
        }
        std::string error;
        auto machine = simbook::ParseMachine(text, error);
        if (!machine) {
            EXPECT_FALSE(error.empty()) << "a refused file must say why:\n" << text;
            continue;
        }
        ++accepted;
        // Whatever was accepted stays within what the models can hold.
        EXPECT_TRUE(machine->ansiCodePage == 1252 || machine->ansiCodePage == 65001);
        for (const auto& iface : machine->wlan.interfaces) {
            for (const auto& ssid : iface.networks) {
                EXPECT_LE(ssid.size(), 32u);
            }
        }
    }
    // Some edits (inside a string, say) leave a valid file: both paths were taken.
    EXPECT_GT(accepted, 0);
}

TEST(Robustness, FirmwareAnswersEveryPacketWithinItsRoom) {
    std::mt19937 rng(Seed());
    simbook::Machine::Firmware values;
    values.wlanItemData = {1, 2, 3, 4};
    simbook::Firmware firmware(values, 0, [](const simbook::Machine::Firmware&) { return true; });
    const uint8_t functions[] = {wire::kGetPasswordInfo,
                                 wire::kGetPasswordState,
                                 wire::kReadIndexedSetting,
                                 wire::kWriteIndexedSetting,
                                 wire::kGetSetupItem,
                                 wire::kSetSetupItem,
                                 0x00,
                                 0xFF};
    for (int i = 0; i < 20000; ++i) {
        size_t size = rng() % 80;
        std::vector<uint8_t> packet(size);
        for (auto& b : packet) {
            b = static_cast<uint8_t>(rng());
        }
        if (size > 0 && rng() % 2) {
            packet[0] = functions[rng() % std::size(functions)];
        }
        if (size >= 6 && rng() % 2) {
            // Lengths that agree with the buffer often enough to reach the functions' bodies.
            packet[2] = static_cast<uint8_t>(size);
            packet[3] = 0;
            packet[4] = static_cast<uint8_t>(size + rng() % 24);
            packet[5] = 0;
        }
        size_t room = rng() % 100;
        // A copy sized exactly, so that any read past `size` is caught by the sanitizer.
        std::vector<uint8_t> exact(packet);
        auto answer = firmware.Call(exact.empty() ? nullptr : exact.data(), exact.size(), room);
        ASSERT_TRUE(answer.has_value());
        EXPECT_LE(answer->size(), room);
    }
}

// Random I/O controls, most of them plausible capsules (header lengths that agree with the
// buffer, the firmware-call code, counting sequence numbers), in plain and in session mode.
TEST(Robustness, DriverAnswersEveryRequestWithinItsRoom) {
    std::mt19937 rng(Seed());
    for (bool sessions : {false, true}) {
        simbook::Machine machine;
        machine.driver.sessions = sessions;
        simbook::Driver driver(machine);
        const simbook::Dword codes[] = {wire::kIoctlHandshake, wire::kIoctlEndSession,
                                        wire::kIoctlCapsule,   wire::kIoctlCapsule,
                                        wire::kIoctlCapsule,   wire::kIoctlCapsule + 4};
        uint32_t sequence = 0;
        int answered = 0;
        for (int i = 0; i < 20000; ++i) {
            simbook::Dword code = codes[rng() % std::size(codes)];
            size_t size = rng() % 120;
            std::vector<uint8_t> in(size);
            for (auto& b : in) {
                b = static_cast<uint8_t>(rng());
            }
            auto put32 = [&](size_t at, uint32_t v) {
                for (int k = 0; k < 4 && at + k < in.size(); ++k) {
                    in[at + k] = static_cast<uint8_t>(v >> (8 * k));
                }
            };
            if (code == wire::kIoctlCapsule && size >= 16 && rng() % 4 != 0) {
                uint32_t payload = static_cast<uint32_t>(size - 16);
                put32(0, rng() % 8 ? payload : static_cast<uint32_t>(rng()));
                put32(4, rng() % 8 ? static_cast<uint32_t>(size) : static_cast<uint32_t>(rng()));
                put32(8, 0);
                put32(12, sequence++);                                         // sequence number
                put32(16, rng() % 8 ? payload : static_cast<uint32_t>(rng())); // structure length
                put32(20, wire::kFirmwareCall);                                // firmware call
                put32(24, payload >= 24 ? payload - 24 : 0);                   // input size
                put32(28, static_cast<uint32_t>(rng() % 64));                  // output size
            }
            simbook::Dword room = static_cast<simbook::Dword>(rng() % 120);
            std::vector<uint8_t> out(room);
            auto r = driver.Control(1, nullptr, code, in.empty() ? nullptr : in.data(),
                                    static_cast<simbook::Dword>(in.size()),
                                    out.empty() ? nullptr : out.data(), room);
            EXPECT_LE(r.returned, room);
            answered += (r.ok && code == wire::kIoctlCapsule) ? 1 : 0;
            if (!r.ok) {
                EXPECT_NE(r.error, static_cast<simbook::Dword>(simbook::win32::kSuccess));
            }
        }
        if (!sessions) {
            EXPECT_GT(answered, 0) << "no capsule reached the firmware";
        }
    }
}

} // namespace
