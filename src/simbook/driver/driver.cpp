// The driver model's I/O controls.
#include "simbook/driver/driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "simbook/bytes.h"
#include "simbook/protocol.h"
#include "simbook/trace.h"

namespace simbook {
namespace {

using protocol::kCapsuleHeaderSize;
using protocol::kPhase1Size;
using protocol::kPhase2RequestSize;
using protocol::kPhase3ReplySize;
using protocol::kPhase3RequestSize;
using protocol::kPhaseTagSize;
using protocol::kProofSize;
using protocol::kRequestHeaderSize;
using protocol::kRequestOverhead;

IoResult Failure(Dword error) {
    return IoResult{false, error, 0};
}
IoResult Success(Dword returned) {
    return IoResult{true, win32::kSuccess, returned};
}

} // namespace

struct Driver::Session {
    enum class State { AwaitingProof, AwaitingKey, Established } state = State::AwaitingProof;
    uint64_t owner = 0;
    uint64_t started = 0; // the order in which the sessions were started
    DhNumber clientPublic{};
    DhKeyPair keys;
    std::array<uint8_t, protocol::kNonceSize> clientNonce{}; // from phase 1's request
    std::array<uint8_t, protocol::kNonceSize> driverNonce{};
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

void Driver::Opened(uint64_t owner, const std::string& machinePath, MachineLock* lock) {
    (void)owner;
    std::lock_guard<std::mutex> guard(mutex_);
    Machine::Firmware values;
    if (ReadFirmware(machinePath, values)) {
        firmware_.ReplaceValues(values);
    }
    TakeBusyStep(lock);
}

// The program run (one process, one driver model) takes one step of a "busy_replies" list, at
// its first open of the device: the value taken is how many of the run's first firmware calls
// are answered busy. A step that cannot be stored fails the run's firmware calls, as a firmware
// change that cannot be stored does.
void Driver::TakeBusyStep(MachineLock* lock) {
    const std::vector<int>& list = config_.busyRepliesSequence;
    if (busyStepTaken_ || list.empty()) {
        return;
    }
    busyStepTaken_ = true;
    const std::optional<size_t> taken =
        lock != nullptr ? lock->TakeStep("/driver", "busy_replies") : std::nullopt;
    busyStepLost_ = !taken.has_value();
    if (taken) {
        firmware_.SetBusyReplies(list[std::min(*taken, list.size() - 1)]);
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
    case protocol::kIoctlHandshake:
        result = Handshake(owner, in, inSize, out, outSize);
        break;
    case protocol::kIoctlEndSession:
        result = EndSession(owner, in, inSize);
        break;
    case protocol::kIoctlCapsule:
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
    if (inSize < kPhaseTagSize) {
        return Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, protocol::kPhase1Tag, kPhaseTagSize) == 0) {
        return inSize == kPhase1Size ? Phase1(owner, in, out, outSize)
                                     : Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, protocol::kPhase2Tag, kPhaseTagSize) == 0) {
        return inSize == kPhase2RequestSize ? Phase2(owner, in, out, outSize)
                                            : Failure(win32::kInvalidParameter);
    }
    if (std::memcmp(in, protocol::kPhase3Tag, kPhaseTagSize) == 0) {
        return inSize == kPhase3RequestSize ? Phase3(owner, in, out, outSize)
                                            : Failure(win32::kInvalidParameter);
    }
    return Failure(win32::kInvalidParameter);
}

// A handle keeps at most kMaxSessionsPerHandle sessions: at the limit its oldest session still
// in its handshake gives way; false when all of them are established.
bool Driver::MakeRoomForSession(uint64_t owner) {
    size_t owned = 0;
    auto oldestPending = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        const Session& s = *it->second;
        if (s.owner != owner) {
            continue;
        }
        ++owned;
        if (s.state != Session::State::Established &&
            (oldestPending == sessions_.end() || s.started < oldestPending->second->started)) {
            oldestPending = it;
        }
    }
    if (owned < kMaxSessionsPerHandle) {
        return true;
    }
    if (oldestPending == sessions_.end()) {
        return false;
    }
    sessions_.erase(oldestPending);
    return true;
}

// A random session identifier, never 0 and never one in use.
uint32_t Driver::NewSessionId() {
    uint32_t id = 0;
    while (id == 0 || sessions_.count(id) != 0) {
        RandomBytes(reinterpret_cast<uint8_t*>(&id), sizeof id);
    }
    return id;
}

IoResult Driver::Phase1(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize) {
    using protocol::kNonceOffset;
    using protocol::kNonceSize;
    if (outSize < kPhase1Size) {
        return Failure(win32::kInsufficientBuffer);
    }
    auto session = std::make_unique<Session>();
    session->owner = owner;
    std::memcpy(session->clientPublic.data(), in + kPhaseTagSize, kDhBytes);
    if (!DhPublicValueValid(session->clientPublic)) {
        return Failure(win32::kInvalidParameter);
    }
    if (!MakeRoomForSession(owner)) {
        return Failure(win32::kBusy);
    }
    session->started = ++sessionsStarted_;
    std::memcpy(session->clientNonce.data(), in + kNonceOffset, kNonceSize);
    session->keys = MakeDhKeyPair();
    if (const auto& value = config_.faults.publicValue) {
        // The value stands in everywhere the driver's own one would: the reply and the proof.
        session->keys.publicValue.fill(0);
        std::copy_n(value->begin(), std::min(value->size(), kDhBytes),
                    session->keys.publicValue.begin());
    }
    RandomBytes(session->driverNonce.data(), session->driverNonce.size());
    const uint32_t id = NewSessionId();

    uint8_t nonces[2 * kNonceSize];
    std::memcpy(nonces, session->clientNonce.data(), kNonceSize);
    std::memcpy(nonces + kNonceSize, session->driverNonce.data(), kNonceSize);
    session->t0 = HmacSha1(config_.authKey.data(), config_.authKey.size(), nonces, sizeof nonces);

    uint8_t reply[kPhase1Size];
    StoreLe32(reply, id);
    std::memcpy(reply + kPhaseTagSize, session->keys.publicValue.data(), kDhBytes);
    std::memcpy(reply + kNonceOffset, session->driverNonce.data(), kNonceSize);
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
    uint32_t left = protocol::kAuthLeft;
    uint32_t right = protocol::kAuthRight;
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
    if (inSize != sizeof(uint32_t)) { // the session identifier
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
        busyStepLost_ ? std::nullopt
                      : firmware_.Call(request.payload.data() + kRequestHeaderSize,
                                       request.inputSize, request.room);
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
    const uint8_t* packet = request.payload.data() + kRequestHeaderSize;
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
    if (inSize < protocol::kCapsuleMinSize) {
        return Failure(win32::kInvalidParameter);
    }
    request.length = LoadLe32(in);
    uint32_t total = LoadLe32(in + 4);
    if (request.length > inSize || total != protocol::CapsuleSize(request.length) ||
        total > inSize) {
        return Failure(win32::kInvalidParameter);
    }
    request.id = LoadLe32(in + 8);
    if (config_.sessions) {
        request.session = FindSession(owner, request.id);
        if (request.session == nullptr || request.session->state != Session::State::Established) {
            return Failure(win32::kAccessDenied);
        }
    }
    request.payload.assign(in + kCapsuleHeaderSize,
                           in + kCapsuleHeaderSize + (total - protocol::kCapsuleMinSize));
    if (request.session != nullptr) {
        for (size_t at = 0; at + 8 <= request.payload.size(); at += 8) {
            request.session->cipher.Decipher(request.payload.data() + at);
        }
    }
    return Success(0);
}

// The encapsulated request: sequence, own length, code, input size, output room, input.
IoResult Driver::CheckRequest(CapsuleRequest& request, Dword outSize) const {
    if (request.length < kRequestOverhead) {
        return Failure(win32::kInvalidParameter);
    }
    const uint8_t* r = request.payload.data();
    uint32_t ownLength = LoadLe32(r + 4);
    request.inputSize = LoadLe32(r + 12);
    request.room = LoadLe32(r + 16);
    if (ownLength != request.length ||
        static_cast<uint64_t>(request.inputSize) + kRequestOverhead != ownLength) {
        return Failure(win32::kInvalidParameter);
    }
    if (LoadLe32(r + 8) != protocol::kFirmwareCall) {
        return Failure(win32::kInvalidFunction);
    }
    if (request.session != nullptr && LoadLe32(r) != request.session->answered) {
        return Failure(win32::kInvalidParameter);
    }
    if (outSize < protocol::CapsuleSize(request.room)) {
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

    std::vector<uint8_t> reply(protocol::CapsuleSize(answer.size()), 0);
    StoreLe32(reply.data(), static_cast<uint32_t>(answer.size()));
    StoreLe32(reply.data() + 4, static_cast<uint32_t>(reply.size()));
    StoreLe32(reply.data() + 8, request.id);
    std::copy(answer.begin(), answer.end(), reply.begin() + kCapsuleHeaderSize);
    if (request.session != nullptr) {
        for (size_t at = kCapsuleHeaderSize; at + 8 <= reply.size() - 4; at += 8) {
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
