// The driver model from the client's side: the handshake, end of session and capsules, with a
// client that shares no code with the model's protocol logic.
#include <gtest/gtest.h>

#include <cstring>

#include "simbook/driver/driver.h"
#include "support/bytes.h"
#include "support/scratch.h"
#include "support/driver_client.h"
#include "support/protocol.h"

using testclient::Bytes;
using testclient::Client;
using namespace nwt::test::protocol;

namespace {

simbook::Machine MachineWith(std::function<void(simbook::Machine&)> edit = nullptr) {
    std::string error;
    auto m = simbook::ParseMachine("{}", error);
    EXPECT_TRUE(m.has_value()) << error;
    if (edit) {
        edit(*m);
    }
    return *m;
}

struct Rig {
    explicit Rig(const simbook::Machine& m) : driver(m), client(Transport()) {}

    testclient::Transport Transport() {
        return [this](simbook::Dword code, const Bytes& in, Bytes& out, simbook::Dword outSize) {
            Bytes buffer(outSize, 0);
            auto r = driver.Control(owner, nullptr, code, in.empty() ? nullptr : in.data(),
                                    static_cast<simbook::Dword>(in.size()), buffer.data(), outSize);
            out.assign(buffer.begin(), buffer.begin() + r.returned);
            return r;
        };
    }
    simbook::IoResult Raw(simbook::Dword code, const Bytes& in, Bytes& out,
                          simbook::Dword outSize) {
        return Transport()(code, in, out, outSize);
    }

    uint64_t owner = 7;
    simbook::Driver driver;
    Client client;
};

Bytes ReadSetting58() {
    Bytes p(32, 0);
    p[0] = kReadIndexedSetting;
    p[1] = 0x01;
    p[2] = 32;
    p[4] = 32;
    nwt::test::PutLe32(p.data() + 8, 0x90);
    nwt::test::PutLe32(p.data() + 12, kSwitchSetting);
    nwt::test::PutLe32(p.data() + 16, 0x010C0090);
    return p;
}

// Phase 1 alone, with the generator as the client's public value: a session left in its
// handshake. Returns its identifier, or 0 with the error when the driver refuses it.
uint32_t StartSession(Rig& rig, simbook::Dword* error = nullptr) {
    Bytes ini1(kPhase1Size, 0), out;
    std::memcpy(ini1.data(), "Ini1", 4);
    ini1[4] = 2;
    auto r = rig.Raw(kIoctlHandshake, ini1, out, kPhase1Size);
    if (error != nullptr) {
        *error = r.error;
    }
    return r.ok ? nwt::test::Le32(out.data()) : 0;
}

// Whether the handle still holds session `id` in its handshake: phase 3 out of order is refused
// as such for a pending session, and as an unknown identifier for one that is gone.
bool Pending(Rig& rig, uint32_t id) {
    Bytes ini3(kPhase3RequestSize, 0), out;
    std::memcpy(ini3.data(), "Ini3", 4);
    nwt::test::PutLe32(ini3.data() + 4, id);
    return rig.Raw(kIoctlHandshake, ini3, out, kPhase3ReplySize).error ==
           simbook::win32::kInvalidState;
}

} // namespace

TEST(DriverHandshake, CompletesAndCarriesEncipheredCapsules) {
    Rig rig(MachineWith([](simbook::Machine& m) { m.firmware.setting58 = 0x2; }));
    Bytes out;
    EXPECT_TRUE(rig.Raw(kIoctlHandshake, {}, out, 0).ok); // the probe
    ASSERT_EQ(rig.client.Handshake(), 0);
    EXPECT_NE(rig.client.sessionId, 0u);

    Bytes packet = ReadSetting58();
    Bytes capsule = rig.client.MakeCapsule(packet, 32, 0);
    Bytes reply;
    ASSERT_TRUE(rig.Raw(kIoctlCapsule, capsule, reply, 48).ok);
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_EQ(nwt::test::Le32(reply.data()), 32u);
    EXPECT_EQ(nwt::test::Le32(reply.data() + 4), 48u);
    // On the wire the answer is enciphered: the plain answer's bytes must not be visible.
    Bytes wirePayload(reply.begin() + 12, reply.begin() + 44);
    Bytes answer = rig.client.OpenReply(reply);
    ASSERT_EQ(answer.size(), 32u);
    EXPECT_NE(wirePayload, answer);
    EXPECT_EQ(answer[0], 0);                            // status
    EXPECT_EQ(answer[12], 2);                           // width
    EXPECT_EQ(nwt::test::Le32(answer.data() + 20), 2u); // value
    EXPECT_EQ(nwt::test::Le32(reply.data() + 44), 0u);  // trailing word stays plain zero
}

TEST(DriverHandshake, WrongClientProofFailsAndForgetsTheSession) {
    Rig rig(MachineWith());
    rig.client.corruptProof = true;
    simbook::Dword error = 0;
    EXPECT_EQ(rig.client.Handshake(&error), 2);
    EXPECT_EQ(error, static_cast<simbook::Dword>(simbook::win32::kAccessDenied));
    // The pending session is gone: phase 3 and end-session for it are refused.
    Bytes req3(24, 0);
    std::memcpy(req3.data(), "Ini3", 4);
    nwt::test::PutLe32(req3.data() + 4, rig.client.sessionId);
    Bytes out;
    auto r = rig.Raw(kIoctlHandshake, req3, out, 8);
    EXPECT_FALSE(r.ok);
    Bytes id(4);
    nwt::test::PutLe32(id.data(), rig.client.sessionId);
    EXPECT_FALSE(rig.Raw(kIoctlEndSession, id, out, 0).ok);
}

TEST(DriverHandshake, RejectsMalformedAndOutOfOrderRequests) {
    Rig rig(MachineWith());
    Bytes out;
    Bytes shortIni1(159, 0);
    std::memcpy(shortIni1.data(), "Ini1", 4);
    EXPECT_EQ(rig.Raw(kIoctlHandshake, shortIni1, out, 160).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidParameter));
    Bytes unknown(28, 0);
    std::memcpy(unknown.data(), "Ini9", 4);
    EXPECT_EQ(rig.Raw(kIoctlHandshake, unknown, out, 20).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidParameter));
    Bytes ini2(28, 0);
    std::memcpy(ini2.data(), "Ini2", 4);
    nwt::test::PutLe32(ini2.data() + 4, 12345);
    EXPECT_EQ(rig.Raw(kIoctlHandshake, ini2, out, 20).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidParameter)); // unknown session
    // A public value of 1 (or p - 1, or above p) would force a known shared secret.
    Bytes ini1(160, 0);
    std::memcpy(ini1.data(), "Ini1", 4);
    ini1[4] = 1;
    EXPECT_FALSE(rig.Raw(kIoctlHandshake, ini1, out, 160).ok);
    // Phase 3 straight after phase 1 is out of order.
    ASSERT_EQ(rig.client.Handshake(), 0);
    Bytes again(24, 0);
    std::memcpy(again.data(), "Ini3", 4);
    nwt::test::PutLe32(again.data() + 4, rig.client.sessionId);
    EXPECT_EQ(rig.Raw(kIoctlHandshake, again, out, 8).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidState));
    EXPECT_EQ(rig.Raw(kIoctlHandshake + 0x10, {}, out, 0).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidFunction));
}

TEST(DriverCapsules, SequenceNumberMustCountAnsweredCapsules) {
    Rig rig(MachineWith());
    ASSERT_EQ(rig.client.Handshake(), 0);
    Bytes answer;
    ASSERT_TRUE(rig.client.Call(ReadSetting58(), 32, answer).ok);
    ASSERT_TRUE(rig.client.Call(ReadSetting58(), 32, answer).ok);
    // Replaying sequence 1 (or skipping to 3) is refused.
    Bytes out;
    EXPECT_EQ(rig.Raw(kIoctlCapsule, rig.client.MakeCapsule(ReadSetting58(), 32, 1), out, 48).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidParameter));
    EXPECT_EQ(rig.Raw(kIoctlCapsule, rig.client.MakeCapsule(ReadSetting58(), 32, 3), out, 48).error,
              static_cast<simbook::Dword>(simbook::win32::kInvalidParameter));
    EXPECT_TRUE(rig.Raw(kIoctlCapsule, rig.client.MakeCapsule(ReadSetting58(), 32, 2), out, 48).ok);
}

TEST(DriverCapsules, RefusedWithoutSessionOrWithBadStructure) {
    Rig rig(MachineWith());
    Bytes out;
    rig.client.encrypt = false;
    EXPECT_EQ(rig.Raw(kIoctlCapsule, rig.client.MakeCapsule(ReadSetting58(), 32, 0), out, 48).error,
              static_cast<simbook::Dword>(simbook::win32::kAccessDenied));
    rig.client.encrypt = true;
    ASSERT_EQ(rig.client.Handshake(), 0);
    Bytes capsule = rig.client.MakeCapsule(ReadSetting58(), 32, 0);
    Bytes badTotal = capsule;
    nwt::test::PutLe32(badTotal.data() + 4, 200);
    EXPECT_FALSE(rig.Raw(kIoctlCapsule, badTotal, out, 48).ok);
    EXPECT_FALSE(rig.Raw(kIoctlCapsule, Bytes(capsule.begin(), capsule.begin() + 15), out, 48).ok);
    EXPECT_EQ(rig.Raw(kIoctlCapsule, capsule, out, 40).error,
              static_cast<simbook::Dword>(simbook::win32::kInsufficientBuffer));
    // A capsule enciphered under another key deciphers to garbage and is refused.
    simbook::ChannelBlowfish other;
    uint8_t key[16] = {1, 2, 3};
    other.SetKey(key, 16);
    Bytes forged = capsule;
    for (size_t i = 12; i + 8 <= forged.size() - 4; i += 8) {
        rig.client.cipher.Decipher(forged.data() + i);
        other.Encipher(forged.data() + i);
    }
    EXPECT_FALSE(rig.Raw(kIoctlCapsule, forged, out, 48).ok);
    // The good capsule still goes through: failures did not advance the sequence.
    EXPECT_TRUE(rig.Raw(kIoctlCapsule, capsule, out, 48).ok);
}

TEST(DriverCapsules, EndSessionStopsCapsules) {
    Rig rig(MachineWith());
    ASSERT_EQ(rig.client.Handshake(), 0);
    Bytes id(4), out;
    nwt::test::PutLe32(id.data(), rig.client.sessionId);
    EXPECT_TRUE(rig.Raw(kIoctlEndSession, id, out, 0).ok);
    Bytes answer;
    EXPECT_FALSE(rig.client.Call(ReadSetting58(), 32, answer).ok);
    EXPECT_FALSE(rig.Raw(kIoctlEndSession, id, out, 0).ok); // already ended
}

TEST(DriverCapsules, SessionsBelongToTheirHandle) {
    Rig rig(MachineWith());
    ASSERT_EQ(rig.client.Handshake(), 0);
    rig.owner = 8;
    Bytes answer;
    EXPECT_FALSE(rig.client.Call(ReadSetting58(), 32, answer).ok);
    rig.owner = 7;
    rig.driver.Closed(7);
    EXPECT_FALSE(rig.client.Call(ReadSetting58(), 32, answer).ok);
}

// A handle holds 16 sessions at most.
constexpr size_t kSessionLimit = 16;

TEST(DriverSessionLimit, AtTheLimitTheOldestPendingSessionGivesWay) {
    Rig rig(MachineWith());
    rig.owner = 8;
    const uint32_t otherHandle = StartSession(rig);
    rig.owner = 7;
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < kSessionLimit; ++i) {
        ids.push_back(StartSession(rig));
    }
    for (uint32_t id : ids) {
        ASSERT_TRUE(Pending(rig, id)); // the last one below the limit evicted nothing
    }
    // Each session beyond the limit replaces the oldest one, whatever their identifiers.
    for (int round = 0; round < 8; ++round) {
        const uint32_t newest = StartSession(rig);
        ASSERT_NE(newest, 0u);
        EXPECT_FALSE(Pending(rig, ids.front())) << "round " << round;
        ids.erase(ids.begin());
        ids.push_back(newest);
        for (uint32_t id : ids) {
            EXPECT_TRUE(Pending(rig, id)) << "round " << round;
        }
    }
    rig.owner = 8;
    EXPECT_TRUE(Pending(rig, otherHandle)); // another handle's sessions do not count
}

TEST(DriverSessionLimit, RefusedWhenEverySessionOfTheHandleIsEstablished) {
    Rig rig(MachineWith());
    for (size_t i = 0; i < kSessionLimit; ++i) {
        ASSERT_EQ(rig.client.Handshake(), 0) << i;
    }
    simbook::Dword error = 0;
    EXPECT_EQ(StartSession(rig, &error), 0u);
    EXPECT_EQ(error, simbook::win32::kBusy);
    // Ending one makes room again.
    Bytes id(4), out;
    nwt::test::PutLe32(id.data(), rig.client.sessionId);
    ASSERT_TRUE(rig.Raw(kIoctlEndSession, id, out, 0).ok);
    EXPECT_EQ(rig.client.Handshake(), 0);
}

TEST(DriverPlain, NoSessionsMeansProbeFailsAndCapsulesArePlain) {
    Rig rig(MachineWith([](simbook::Machine& m) { m.driver.sessions = false; }));
    Bytes out;
    auto r = rig.Raw(kIoctlHandshake, {}, out, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<simbook::Dword>(simbook::win32::kNotSupported));
    rig.client.encrypt = false;
    Bytes capsule = rig.client.MakeCapsule(ReadSetting58(), 32, 41); // not checked in plain mode
    ASSERT_TRUE(rig.Raw(kIoctlCapsule, capsule, out, 48).ok);
    EXPECT_EQ(out[12], 0);
    EXPECT_EQ(out[12 + 12], 2); // width, in plain sight
}

TEST(DriverFaults, KnobsBendTheReplies) {
    {
        Rig rig(MachineWith([](simbook::Machine& m) { m.driver.faults.phase1ReplyLength = 159; }));
        EXPECT_EQ(rig.client.Handshake(), 1);
    }
    {
        Rig rig(MachineWith([](simbook::Machine& m) {
            m.driver.faults.proof = simbook::ProofFault::FlipLastByte;
        }));
        EXPECT_EQ(rig.client.Handshake(), 2);
    }
    {
        Rig rig(MachineWith(
            [](simbook::Machine& m) { m.driver.faults.proof = simbook::ProofFault::WrongOrder; }));
        EXPECT_EQ(rig.client.Handshake(), 2);
    }
    {
        Rig rig(MachineWith([](simbook::Machine& m) {
            m.driver.faults.phase3Reply = simbook::Phase3Fault::SwappedHalves;
        }));
        EXPECT_EQ(rig.client.Handshake(), 4);
    }
    {
        Rig rig(MachineWith([](simbook::Machine& m) { m.driver.faults.probeError = 5; }));
        Bytes out;
        EXPECT_EQ(rig.Raw(kIoctlHandshake, {}, out, 0).error, 5u);
    }
    {
        Rig rig(MachineWith([](simbook::Machine& m) {
            m.driver.faults.capsuleReplyLength = 11;
            m.driver.faults.capsuleError = 31;
        }));
        ASSERT_EQ(rig.client.Handshake(), 0);
        Bytes answer;
        auto r = rig.client.Call(ReadSetting58(), 32, answer);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, 31u);
        // 11 bytes came back, so the capsule counts as answered on both sides.
        EXPECT_TRUE(rig.client.Call(ReadSetting58(), 32, answer).error == 31u);
    }
    {
        Rig rig(MachineWith([](simbook::Machine& m) {
            m.driver.faults.capsuleExtraPayload = 4;
            m.driver.faults.capsuleTotalField = 16;
        }));
        ASSERT_EQ(rig.client.Handshake(), 0);
        Bytes capsule = rig.client.MakeCapsule(ReadSetting58(), 32, 0);
        Bytes out;
        ASSERT_TRUE(rig.Raw(kIoctlCapsule, capsule, out, 48).ok);
        EXPECT_EQ(nwt::test::Le32(out.data()), 36u);
        EXPECT_EQ(nwt::test::Le32(out.data() + 4), 16u);
        EXPECT_EQ(out.size(), 48u); // no more than the room offered
    }
    {
        Rig rig(
            MachineWith([](simbook::Machine& m) { m.driver.faults.capsuleEmptyPayload = true; }));
        ASSERT_EQ(rig.client.Handshake(), 0);
        Bytes answer;
        ASSERT_TRUE(rig.client.Call(ReadSetting58(), 32, answer).ok);
        EXPECT_TRUE(answer.empty());
    }
}

// A "busy_replies" list: each driver model (one per program run) takes the next count at its
// first open, through the handle's lock; a step that cannot be stored (a shared handle may not
// write) fails the run's firmware calls.
TEST(DriverFaults, BusyRepliesListGivesEachRunItsOwnCount) {
    const nwt::test::ScratchDir scratch("simbook-driver");
    const std::string path =
        nwt::test::WriteMachine(scratch, R"({"driver": {"busy_replies": [2, 0]}})");
    std::string error;
    const auto machine = simbook::ParseMachine(nwt::test::ReadFile(path), error);
    ASSERT_TRUE(machine.has_value()) << error;
    for (const int expected : {2, 0, -1}) {
        Rig rig(*machine);
        simbook::MachineLock lock;
        simbook::Dword lockError = 0;
        ASSERT_TRUE(lock.Acquire(path, expected >= 0, lockError));
        testing::internal::CaptureStderr();
        rig.driver.Opened(rig.owner, path, &lock);
        rig.driver.Opened(rig.owner, path, &lock); // a second open of the run takes no step
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(rig.client.Handshake(), 0);
        int busy = 0;
        Bytes answer;
        simbook::IoResult r;
        while ((r = rig.client.Call(ReadSetting58(), 32, answer)).ok && answer.at(0) == 4 &&
               busy < 5) {
            ++busy;
        }
        EXPECT_EQ(r.ok ? busy : -static_cast<int>(r.error == simbook::win32::kIoDevice), expected);
    }
}
