// The driver model's I/O controls.
#include "simbook/driver/driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "simbook/bytes.h"
#include "simbook/trace.h"

namespace simbook {
namespace {

constexpr size_t kPhase1Size = 160;
constexpr size_t kPhase2RequestSize = 28;
constexpr size_t kProofSize = 20;
constexpr size_t kPhase3RequestSize = 24;
constexpr size_t kPhase3ReplySize = 8;
constexpr size_t kCapsuleHeader = 12;
constexpr size_t kMaxSessions = 16;
constexpr uint32_t kAuthLeft = 0x68747541;  // "Auth"
constexpr uint32_t kAuthRight = 0x6373694d; // "Misc"

IoResult Failure(Dword error) {
    return IoResult{false, error, 0};
}
IoResult Success(Dword returned) {
    return IoResult{true, win32::kSuccess, returned};
}

size_t CapsuleSize(size_t payload) {
    return 16 + 8 * ((payload + 7) / 8);
}

} // namespace

struct Driver::Session {
    enum class State { AwaitingProof, AwaitingKey, Established } state = State::AwaitingProof;
    uint64_t owner = 0;
    DhNumber clientPublic{};
    DhKeyPair keys;
    std::array<uint8_t, 24> clientNonce{}; // request bytes 136..159 of phase 1
    std::array<uint8_t, 24> driverNonce{};
    std::array<uint8_t, 20> t0{};
    std::array<uint8_t, 16> kek{};
    ChannelBlowfish cipher; // keyed with the session key once established
    uint32_t answered = 0;  // capsules of this session answered so far

    ~Session() {
        OPENSSL_cleanse(t0.data(), t0.size());
        OPENSSL_cleanse(kek.data(), kek.size());
        if (!keys.secret.empty()) {
            OPENSSL_cleanse(keys.secret.data(), keys.secret.size());
        }
    }
};

Driver::Driver(const Machine& machine)
    : config_(machine.driver),
      firmware_(machine.firmware, machine.driver.busyReplies,
                [this](const Machine::Firmware& values) {
                    return currentLock_ != nullptr && currentLock_->WriteBack(values);
                }) {}

Driver::~Driver() = default;

void Driver::Opened(uint64_t owner, const std::string& machinePath) {
    (void)owner;
    std::lock_guard<std::mutex> guard(mutex_);
    Machine::Firmware values;
    if (ReadFirmware(machinePath, values)) {
        firmware_.ReplaceValues(values);
    }
}

void Driver::Closed(uint64_t owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = it->second->owner == owner ? sessions_.erase(it) : std::next(it);
    }
}

Driver::Session* Driver::FindSession(uint64_t owner, uint32_t id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second->owner != owner) {
        return nullptr;
    }
    return it->second.get();
}

IoResult Driver::Control(uint64_t owner, MachineLock* lock, Dword code, const uint8_t* in,
                         Dword inSize, uint8_t* out, Dword outSize) {
    std::lock_guard<std::mutex> guard(mutex_);
    currentLock_ = lock;
    IoResult result;
    switch (code) {
    case kIoctlSession:
        result = Handshake(owner, in, inSize, out, outSize);
        break;
    case kIoctlEndSession:
        result = EndSession(owner, in, inSize);
        break;
    case kIoctlCapsule:
        result = Capsule(owner, in, inSize, out, outSize);
        break;
    default:
        result = Failure(win32::kInvalidFunction);
        break;
    }
    currentLock_ = nullptr;
    return result;
}

IoResult Driver::Handshake(uint64_t owner, const uint8_t* in, Dword inSize, uint8_t* out,
                           Dword outSize) {
    if (!config_.sessions) {
        return Failure(win32::kNotSupported);
    }
    if (inSize == 0) { // the probe
        if (config_.faults.probeError && *config_.faults.probeError != 0) {
            return Failure(*config_.faults.probeError);
        }
        return Success(0);
    }
    if (inSize < 4) {
        return Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, "Ini1", 4) == 0) {
        return inSize == kPhase1Size ? Phase1(owner, in, out, outSize)
                                     : Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, "Ini2", 4) == 0) {
        return inSize == kPhase2RequestSize ? Phase2(owner, in, out, outSize)
                                            : Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, "Ini3", 4) == 0) {
        return inSize == kPhase3RequestSize ? Phase3(owner, in, out, outSize)
                                            : Failure(win32::kInvalidParameter);
    }
    return Failure(win32::kInvalidParameter);
}

IoResult Driver::Phase1(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize) {
    if (outSize < kPhase1Size) {
        return Failure(win32::kInsufficientBuffer);
    }
    auto session = std::make_unique<Session>();
    session->owner = owner;
    std::memcpy(session->clientPublic.data(), in + 4, kDhBytes);
    if (!DhPublicValueValid(session->clientPublic)) {
        return Failure(win32::kInvalidParameter);
    }
    // A handle keeps a bounded number of sessions; the oldest pending one gives way.
    size_t owned = 0;
    for (const auto& entry : sessions_) {
        owned += entry.second->owner == owner ? 1 : 0;
    }
    if (owned >= kMaxSessions) {
        auto victim = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& e) {
            return e.second->owner == owner && e.second->state != Session::State::Established;
        });
        if (victim == sessions_.end()) {
            return Failure(win32::kBusy);
        }
        sessions_.erase(victim);
    }
    std::memcpy(session->clientNonce.data(), in + 136, 24);
    session->keys = MakeDhKeyPair();
    if (config_.faults.publicValue) {
        // The value stands in everywhere the driver's own one would: the reply and the proof.
        session->keys.publicValue.fill(0);
        std::copy(config_.faults.publicValue->begin(), config_.faults.publicValue->end(),
                  session->keys.publicValue.begin());
    }
    RandomBytes(session->driverNonce.data(), session->driverNonce.size());
    uint32_t id = 0;
    while (id == 0 || sessions_.count(id) != 0) {
        RandomBytes(reinterpret_cast<uint8_t*>(&id), sizeof id);
    }

    uint8_t nonces[48];
    std::memcpy(nonces, session->clientNonce.data(), 24);
    std::memcpy(nonces + 24, session->driverNonce.data(), 24);
    session->t0 = HmacSha1(config_.authKey.data(), config_.authKey.size(), nonces, sizeof nonces);

    uint8_t reply[kPhase1Size];
    StoreLe32(reply, id);
    std::memcpy(reply + 4, session->keys.publicValue.data(), kDhBytes);
    std::memcpy(reply + 136, session->driverNonce.data(), 24);
    Dword returned = static_cast<Dword>(kPhase1Size);
    if (config_.faults.phase1ReplyLength) {
        returned = std::min<Dword>(*config_.faults.phase1ReplyLength, outSize);
        returned = std::min<Dword>(returned, static_cast<Dword>(kPhase1Size));
    }
    std::memcpy(out, reply, returned);
    sessions_.emplace(id, std::move(session));
    return Success(returned);
}

IoResult Driver::Phase2(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize) {
    uint32_t id = LoadLe32(in + 4);
    Session* s = FindSession(owner, id);
    if (s == nullptr) {
        return Failure(win32::kInvalidParameter);
    }
    if (s->state != Session::State::AwaitingProof) {
        return Failure(win32::kInvalidState);
    }
    if (outSize < kProofSize) {
        return Failure(win32::kInsufficientBuffer);
    }
    uint8_t values[2 * kDhBytes];
    std::memcpy(values, s->clientPublic.data(), kDhBytes);
    std::memcpy(values + kDhBytes, s->keys.publicValue.data(), kDhBytes);
    auto expected = HmacSha1(s->t0.data(), s->t0.size(), values, sizeof values); // Yc || Yd
    if (CRYPTO_memcmp(expected.data(), in + 8, kProofSize) != 0) {
        sessions_.erase(id); // a wrong proof ends the pending session
        return Failure(win32::kAccessDenied);
    }
    std::array<uint8_t, 20> proof;
    if (config_.faults.proof == ProofFault::WrongOrder) {
        proof = expected;
    } else {
        std::memcpy(values, s->keys.publicValue.data(), kDhBytes);
        std::memcpy(values + kDhBytes, s->clientPublic.data(), kDhBytes);
        proof = HmacSha1(s->t0.data(), s->t0.size(), values, sizeof values); // Yd || Yc
        if (config_.faults.proof == ProofFault::FlipLastByte) {
            proof[19] ^= 0xFF;
        }
    }
    DhNumber z = DhSharedSecret(s->clientPublic, s->keys.secret);
    auto digest = Sha1(z.data(), z.size());
    std::memcpy(s->kek.data(), digest.data(), s->kek.size());
    OPENSSL_cleanse(z.data(), z.size());
    OPENSSL_cleanse(digest.data(), digest.size());
    s->state = Session::State::AwaitingKey;
    std::memcpy(out, proof.data(), kProofSize);
    return Success(static_cast<Dword>(kProofSize));
}

IoResult Driver::Phase3(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize) {
    uint32_t id = LoadLe32(in + 4);
    Session* s = FindSession(owner, id);
    if (s == nullptr) {
        return Failure(win32::kInvalidParameter);
    }
    if (s->state != Session::State::AwaitingKey) {
        return Failure(win32::kInvalidState);
    }
    if (outSize < kPhase3ReplySize) {
        return Failure(win32::kInsufficientBuffer);
    }
    uint8_t sessionKey[16];
    std::memcpy(sessionKey, in + 8, 16);
    {
        ChannelBlowfish kekCipher;
        kekCipher.SetKey(s->kek.data(), s->kek.size());
        kekCipher.Decipher(sessionKey);
        kekCipher.Decipher(sessionKey + 8);
    }
    s->cipher.SetKey(sessionKey, sizeof sessionKey);
    OPENSSL_cleanse(sessionKey, sizeof sessionKey);
    uint32_t left = kAuthLeft;
    uint32_t right = kAuthRight;
    if (config_.faults.phase3Reply == Phase3Fault::SwappedHalves) {
        std::swap(left, right);
    }
    s->cipher.EncipherHalves(left, right);
    StoreLe32(out, left);
    StoreLe32(out + 4, right);
    s->state = Session::State::Established;
    s->answered = 0;
    return Success(static_cast<Dword>(kPhase3ReplySize));
}

IoResult Driver::EndSession(uint64_t owner, const uint8_t* in, Dword inSize) {
    if (!config_.sessions) {
        return Failure(win32::kNotSupported);
    }
    if (inSize != 4) {
        return Failure(win32::kInvalidParameter);
    }
    uint32_t id = LoadLe32(in);
    if (FindSession(owner, id) == nullptr) {
        return Failure(win32::kInvalidParameter);
    }
    sessions_.erase(id);
    return Success(0);
}

// A request capsule taken apart: its session (null when sessions are off) and the
// encapsulated request, deciphered, with the fields the firmware call needs.
struct Driver::CapsuleRequest {
    uint32_t id = 0;
    uint32_t length = 0; // the capsule's length field: the encapsulated request's size
    Session* session = nullptr;
    std::vector<uint8_t> payload;
    uint32_t inputSize = 0; // the firmware packet's size
    uint32_t room = 0;      // the answer room the client offers
};

IoResult Driver::Capsule(uint64_t owner, const uint8_t* in, Dword inSize, uint8_t* out,
                         Dword outSize) {
    CapsuleRequest request;
    IoResult step = OpenCapsule(owner, in, inSize, request);
    if (step.ok) {
        step = CheckRequest(request, outSize);
    }
    if (!step.ok) {
        return step;
    }
    std::optional<std::vector<uint8_t>> answer =
        firmware_.Call(request.payload.data() + 20, request.inputSize, request.room);
    TraceFirmwareCall(owner, request, answer);
    if (!answer) {
        return Failure(win32::kIoDevice);
    }
    return Deliver(request.session, SealAnswer(request, std::move(*answer)), out, outSize);
}

// The firmware call a capsule carried, in clear: enciphered capsules are opaque in the
// DeviceIoControl line the host writes after this one, so the trace gets what the driver
// deciphered. `answer` is null when a change could not be stored.
void Driver::TraceFirmwareCall(uint64_t owner, const CapsuleRequest& request,
                               const std::optional<std::vector<uint8_t>>& answer) const {
    if (!TraceEnabled()) {
        return;
    }
    const uint8_t* packet = request.payload.data() + 20;
    nlohmann::ordered_json line = {{"op", "firmware"},
                                   {"handle", owner},
                                   {"session", request.id},
                                   {"encrypted", request.session != nullptr},
                                   {"sequence", LoadLe32(request.payload.data())},
                                   {"function", request.inputSize > 0 ? packet[0] : 0},
                                   {"request", HexText(packet, request.inputSize)}};
    if (answer) {
        line["answer"] = HexText(answer->data(), answer->size());
        line["status"] =
            answer->empty() ? nlohmann::ordered_json() : nlohmann::ordered_json((*answer)[0]);
    } else {
        line["answer"] = nullptr;
        line["status"] = nullptr;
    }
    TraceLine(line);
}

// Checks the capsule's header against the bytes given, finds its session and deciphers the
// payload.
IoResult Driver::OpenCapsule(uint64_t owner, const uint8_t* in, Dword inSize,
                             CapsuleRequest& request) {
    if (inSize < 16) {
        return Failure(win32::kInvalidParameter);
    }
    request.length = LoadLe32(in);
    uint32_t total = LoadLe32(in + 4);
    if (request.length > inSize || total != CapsuleSize(request.length) || total > inSize) {
        return Failure(win32::kInvalidParameter);
    }
    request.id = LoadLe32(in + 8);
    if (config_.sessions) {
        request.session = FindSession(owner, request.id);
        if (request.session == nullptr || request.session->state != Session::State::Established) {
            return Failure(win32::kAccessDenied);
        }
    }
    request.payload.assign(in + kCapsuleHeader, in + kCapsuleHeader + (total - 16));
    if (request.session != nullptr) {
        for (size_t at = 0; at + 8 <= request.payload.size(); at += 8) {
            request.session->cipher.Decipher(request.payload.data() + at);
        }
    }
    return Success(0);
}

// The encapsulated request: sequence, own length, code, input size, output room, input.
IoResult Driver::CheckRequest(CapsuleRequest& request, Dword outSize) const {
    if (request.length < 24) {
        return Failure(win32::kInvalidParameter);
    }
    const uint8_t* r = request.payload.data();
    uint32_t ownLength = LoadLe32(r + 4);
    request.inputSize = LoadLe32(r + 12);
    request.room = LoadLe32(r + 16);
    if (ownLength != request.length || static_cast<uint64_t>(request.inputSize) + 24 != ownLength) {
        return Failure(win32::kInvalidParameter);
    }
    if (LoadLe32(r + 8) != kFirmwareCall) {
        return Failure(win32::kInvalidFunction);
    }
    if (request.session != nullptr && LoadLe32(r) != request.session->answered) {
        return Failure(win32::kInvalidParameter);
    }
    if (outSize < CapsuleSize(request.room)) {
        return Failure(win32::kInsufficientBuffer);
    }
    return Success(0);
}

// The reply capsule around the firmware's answer, enciphered, with the machine's faults.
std::vector<uint8_t> Driver::SealAnswer(const CapsuleRequest& request,
                                        std::vector<uint8_t> answer) const {
    const DriverFaults& faults = config_.faults;
    if (faults.capsuleEmptyPayload) {
        answer.clear();
    }
    answer.resize(answer.size() + faults.capsuleExtraPayload, 0);

    std::vector<uint8_t> reply(CapsuleSize(answer.size()), 0);
    StoreLe32(reply.data(), static_cast<uint32_t>(answer.size()));
    StoreLe32(reply.data() + 4, static_cast<uint32_t>(reply.size()));
    StoreLe32(reply.data() + 8, request.id);
    std::copy(answer.begin(), answer.end(), reply.begin() + kCapsuleHeader);
    if (request.session != nullptr) {
        for (size_t at = kCapsuleHeader; at + 8 <= reply.size() - 4; at += 8) {
            request.session->cipher.Encipher(reply.data() + at);
        }
    }
    if (faults.capsuleTotalField) {
        StoreLe32(reply.data() + 4, *faults.capsuleTotalField);
    }
    return reply;
}

// Hands the reply over, cut to the room offered (and to the machine's reply length), and
// counts it as answered when any of it reached the caller.
IoResult Driver::Deliver(Session* session, const std::vector<uint8_t>& reply, uint8_t* out,
                         Dword outSize) {
    const DriverFaults& faults = config_.faults;
    Dword returned = static_cast<Dword>(std::min<size_t>(reply.size(), outSize));
    if (faults.capsuleReplyLength) {
        returned = std::min(returned, *faults.capsuleReplyLength);
    }
    std::memcpy(out, reply.data(), returned);
    IoResult result = Success(returned);
    if (faults.capsuleError && *faults.capsuleError != 0) {
        result.ok = false;
        result.error = *faults.capsuleError;
    }
    if (session != nullptr && (result.ok || returned > 0)) {
        ++session->answered;
    }
    return result;
}

} // namespace simbook
