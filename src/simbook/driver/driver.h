// The system-management driver model: what the device does with each I/O control (the codes
// and sizes are in simbook/protocol.h).
//
//   kIoctlHandshake   with no input: the probe (fails with win32::kNotSupported when the
//                     machine's driver has no sessions); with "Ini1" / "Ini2" / "Ini3" requests:
//                     the driver's side of the three handshake phases (Diffie-Hellman over the
//                     1024-bit MODP group, HMAC-SHA1 proofs bound to both nonces and public
//                     values, the session key sent under the key-encryption key, "AuthMisc"
//                     returned under the session key).
//   kIoctlEndSession  ends the session named by the 4 input bytes.
//   kIoctlCapsule     a request capsule: deciphered with the session key, its encapsulated
//                     request checked (lengths, code kFirmwareCall, sequence number), the
//                     firmware call run and the answer returned in an enciphered capsule; plain
//                     capsules when sessions are off.
//
// Errors a caller sees: win32::kInvalidParameter for wrong lengths, magic values, codes,
// unknown session identifiers or sequence numbers; win32::kInvalidState for phases out of
// order; win32::kAccessDenied for a wrong client proof or a capsule outside an established
// session; win32::kInsufficientBuffer when the output room is too small for the answer;
// win32::kInvalidFunction for unknown codes; win32::kIoDevice when a firmware change, or the
// program run's step of a "busy_replies" list, could not be stored; win32::kBusy for a new session
// on a handle whose kMaxSessionsPerHandle sessions are all established. Sessions belong to the
// handle that made them and end when it is closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "simbook/driver/cipher.h"
#include "simbook/driver/firmware.h"
#include "simbook/driver/store.h"
#include "simbook/machine.h"

namespace simbook {

struct IoResult {
    bool ok = false;
    Dword error = win32::kSuccess; // meaningful when !ok
    Dword returned = 0;
};

class Driver {
public:
    // Sessions one handle may hold. A new one beyond them replaces the handle's oldest session
    // still in its handshake; when every one is established, it is refused.
    static constexpr size_t kMaxSessionsPerHandle = 16;

    explicit Driver(const Machine& machine);
    ~Driver();

    // A handle was opened (the firmware values are re-read from the machine file, which the
    // handle's `lock` now guards; the program run's first open takes its step of a
    // "busy_replies" list) or closed (its sessions end).
    void Opened(uint64_t owner, const std::string& machinePath, MachineLock* lock);
    void Closed(uint64_t owner);

    // One I/O control on the handle `owner`; `lock` is that handle's lock on the machine file,
    // through which firmware changes are written back.
    IoResult Control(uint64_t owner, MachineLock* lock, Dword code, const uint8_t* in, Dword inSize,
                     uint8_t* out, Dword outSize);

private:
    struct Session;

    void TakeBusyStep(MachineLock* lock);
    IoResult Handshake(uint64_t owner, const uint8_t* in, Dword inSize, uint8_t* out,
                       Dword outSize);
    IoResult Phase1(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize);
    IoResult Phase2(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize);
    IoResult Phase3(uint64_t owner, const uint8_t* in, uint8_t* out, Dword outSize);
    IoResult EndSession(uint64_t owner, const uint8_t* in, Dword inSize);
    IoResult Capsule(uint64_t owner, const uint8_t* in, Dword inSize, uint8_t* out, Dword outSize);

    // The steps of a capsule: taken apart and checked, the firmware's answer sealed into the
    // reply capsule, the reply handed over.
    struct CapsuleRequest;
    IoResult OpenCapsule(uint64_t owner, const uint8_t* in, Dword inSize, CapsuleRequest& request);
    IoResult CheckRequest(CapsuleRequest& request, Dword outSize) const;
    std::vector<uint8_t> SealAnswer(const CapsuleRequest& request,
                                    std::vector<uint8_t> answer) const;
    void TraceFirmwareCall(uint64_t owner, const CapsuleRequest& request,
                           const std::optional<std::vector<uint8_t>>& answer) const;
    IoResult Deliver(Session* session, const std::vector<uint8_t>& reply, uint8_t* out,
                     Dword outSize);
    Session* FindSession(uint64_t owner, uint32_t id);
    bool MakeRoomForSession(uint64_t owner);
    uint32_t NewSessionId();

    std::mutex mutex_;
    Machine::Driver config_;
    Firmware firmware_;
    MachineLock* currentLock_ = nullptr; // the lock of the call in progress
    std::map<uint32_t, std::unique_ptr<Session>> sessions_;
    uint64_t sessionsStarted_ = 0; // numbers the sessions in the order they were started
    bool busyStepTaken_ = false;   // this run's step of a "busy_replies" list is taken
    bool busyStepLost_ = false;    // it could not be stored: every firmware call fails
};

} // namespace simbook
