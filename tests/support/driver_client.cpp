#include "driver_client.h"

#include "bytes.h"
#include "protocol.h"

#include <cstring>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace testclient {

namespace {

using nwt::test::Le32;
using nwt::test::PutLe32;
namespace wire = nwt::test::protocol;

Bytes Hmac(const uint8_t* key, size_t keySize, const Bytes& data) {
    Bytes mac(20);
    unsigned int n = 0;
    HMAC(EVP_sha1(), key, static_cast<int>(keySize), data.data(), data.size(), mac.data(), &n);
    return mac;
}

Bytes ToLe(const BIGNUM* b) {
    Bytes out(132);
    BN_bn2lebinpad(b, out.data(), 132);
    return out;
}

} // namespace

int Client::Handshake(simbook::Dword* lastError) {
    const BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    BN_CTX* ctx = BN_CTX_new();
    uint8_t xBytes[16] = {};
    RAND_bytes(xBytes, 12); // a 96-bit exponent, as the programs use
    BIGNUM* x = BN_lebin2bn(xBytes, 16, nullptr);
    BIGNUM* g = BN_new();
    BN_set_word(g, 2);
    BIGNUM* yc = BN_new();
    BN_mod_exp(yc, g, x, p, ctx);
    Bytes ycBytes = ToLe(yc);
    uint8_t nc[20];
    RAND_bytes(nc, 20);

    auto cleanup = [&] {
        BN_free(x);
        BN_free(g);
        BN_free(yc);
        BN_CTX_free(ctx);
        BN_free(const_cast<BIGNUM*>(p));
    };

    Bytes req(160, 0);
    std::memcpy(req.data(), "Ini1", 4);
    std::memcpy(req.data() + 4, ycBytes.data(), 132);
    std::memcpy(req.data() + 136, nc, 20);
    Bytes out;
    auto r = transport(wire::kIoctlHandshake, req, out, wire::kPhase1Size);
    if (!r.ok || out.size() != wire::kPhase1Size) {
        if (lastError) {
            *lastError = r.error;
        }
        cleanup();
        return 1;
    }
    sessionId = Le32(out.data());
    Bytes yd(out.begin() + 4, out.begin() + 136);
    Bytes nonces(req.begin() + 136, req.begin() + 160);
    nonces.insert(nonces.end(), out.begin() + 136, out.begin() + 160);
    Bytes t0 = Hmac(authKey.data(), authKey.size(), nonces);
    Bytes ycYd = ycBytes;
    ycYd.insert(ycYd.end(), yd.begin(), yd.end());
    Bytes ydYc = yd;
    ydYc.insert(ydYc.end(), ycBytes.begin(), ycBytes.end());
    Bytes pc = Hmac(t0.data(), t0.size(), ycYd);
    Bytes pd = Hmac(t0.data(), t0.size(), ydYc);
    if (corruptProof) {
        pc[19] ^= 1;
    }

    Bytes req2(28, 0);
    std::memcpy(req2.data(), "Ini2", 4);
    PutLe32(req2.data() + 4, sessionId);
    std::memcpy(req2.data() + 8, pc.data(), 20);
    r = transport(wire::kIoctlHandshake, req2, out, wire::kProofSize);
    if (!r.ok || out.size() != wire::kProofSize || out != pd) {
        if (lastError) {
            *lastError = r.ok ? 0 : r.error;
        }
        cleanup();
        return 2;
    }

    BIGNUM* ydn = BN_lebin2bn(yd.data(), 132, nullptr);
    BIGNUM* z = BN_new();
    BN_mod_exp(z, ydn, x, p, ctx);
    Bytes zBytes = ToLe(z);
    BN_free(ydn);
    BN_free(z);
    uint8_t digest[20];
    unsigned int n = 0;
    EVP_Digest(zBytes.data(), zBytes.size(), digest, &n, EVP_sha1(), nullptr);

    uint8_t sk[16];
    RAND_bytes(sk, 16);
    Bytes req3(24, 0);
    std::memcpy(req3.data(), "Ini3", 4);
    PutLe32(req3.data() + 4, sessionId);
    std::memcpy(req3.data() + 8, sk, 16);
    simbook::ChannelBlowfish kek;
    kek.SetKey(digest, 16);
    kek.Encipher(req3.data() + 8);
    kek.Encipher(req3.data() + 16);
    r = transport(wire::kIoctlHandshake, req3, out, wire::kPhase3ReplySize);
    cleanup();
    if (!r.ok || out.size() != wire::kPhase3ReplySize) {
        if (lastError) {
            *lastError = r.error;
        }
        return 3;
    }
    cipher.SetKey(sk, 16);
    uint32_t left = Le32(out.data());
    uint32_t right = Le32(out.data() + 4);
    cipher.DecipherHalves(left, right);
    if (left != 0x68747541 || right != 0x6373694d) {
        return 4;
    }
    sequence = 0;
    return 0;
}

Bytes Client::MakeCapsule(const Bytes& packet, uint32_t outRoom, uint32_t seq) const {
    uint32_t length = static_cast<uint32_t>(packet.size() + 24);
    uint32_t total = 16 + 8 * ((length + 7) / 8);
    Bytes capsule(total, 0);
    PutLe32(capsule.data(), length);
    PutLe32(capsule.data() + 4, total);
    PutLe32(capsule.data() + 8, encrypt ? sessionId : 0);
    uint8_t* r = capsule.data() + 12;
    PutLe32(r, seq);
    PutLe32(r + 4, length);
    PutLe32(r + 8, wire::kFirmwareCall);
    PutLe32(r + 12, static_cast<uint32_t>(packet.size()));
    PutLe32(r + 16, outRoom);
    std::memcpy(r + 20, packet.data(), packet.size());
    if (encrypt) {
        for (uint32_t i = 0; i < (total - 16) / 8; ++i) {
            cipher.Encipher(capsule.data() + 12 + 8 * i);
        }
    }
    return capsule;
}

Bytes Client::OpenReply(const Bytes& reply) const {
    if (reply.size() < 12) {
        return {};
    }
    uint32_t length = Le32(reply.data());
    uint32_t total = Le32(reply.data() + 4);
    Bytes copy = reply;
    if (encrypt && total >= 16 && total <= copy.size()) {
        for (uint32_t i = 0; i < (total - 16) / 8; ++i) {
            cipher.Decipher(copy.data() + 12 + 8 * i);
        }
    }
    size_t take = std::min<size_t>(length, copy.size() - 12);
    return Bytes(copy.begin() + 12, copy.begin() + 12 + static_cast<long>(take));
}

simbook::IoResult Client::Call(const Bytes& packet, uint32_t outRoom, Bytes& answer) {
    Bytes capsule = MakeCapsule(packet, outRoom, sequence);
    Bytes out;
    auto r = transport(wire::kIoctlCapsule, capsule, out, 16 + 8 * ((outRoom + 7) / 8));
    if (r.ok || !out.empty()) {
        ++sequence;
    }
    answer = OpenReply(out);
    return r;
}

} // namespace testclient
