// A test-side client of the driver protocol, written against OpenSSL (and the channel cipher,
// which cipher_test checks against standard vectors): the handshake's three phases and
// request capsules, with hooks to break each step.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "simbook/driver/cipher.h"
#include "simbook/driver/driver.h"

namespace testclient {

using Bytes = std::vector<uint8_t>;

// Sends one I/O control; returns the result and fills `out` with the returned bytes.
using Transport = std::function<simbook::IoResult(simbook::Dword code, const Bytes& in, Bytes& out,
                                                  simbook::Dword outSize)>;

struct Client {
    explicit Client(Transport t) : transport(std::move(t)) {}

    Transport transport;
    std::array<uint8_t, 16> authKey{0xf2, 0xae, 0xe4, 0xfc, 0x34, 0xd1, 0xe4, 0x8c,
                                    0x54, 0xe0, 0x07, 0x42, 0xb7, 0xde, 0xf7, 0x0e};
    uint32_t sessionId = 0;
    uint32_t sequence = 0;
    simbook::ChannelBlowfish cipher;
    bool encrypt = true;

    // Breaking switches.
    bool corruptProof = false;

    // Runs the handshake; returns the failing phase (1..3, 4 for a bad AuthMisc) or 0.
    int Handshake(simbook::Dword* lastError = nullptr);
    // Builds the request capsule of one firmware packet.
    Bytes MakeCapsule(const Bytes& packet, uint32_t outRoom, uint32_t seq) const;
    // Sends a packet in a capsule; fills `answer` with the deciphered payload.
    simbook::IoResult Call(const Bytes& packet, uint32_t outRoom, Bytes& answer);
    // Deciphers a response capsule's payload (in place).
    Bytes OpenReply(const Bytes& reply) const;
};

} // namespace testclient
