// The random generator. Its only entropy is one reading of the system time and of the
// performance counter, hashed with SHA-1; every word returned steps the 20-byte pool through
// SHA-1 again. The words, and so the handshake's bytes on the wire, depend on the exact byte
// order of every step below.
#include "common/crypto/hdrand.h"

#include "common/crypto/sha1.h"
#include "platform/win32.h"

#include <cstring>

namespace {

struct HdrandState {
    uint32_t pos;     // byte offset in pool of the next word
    uint8_t pool[20]; // current SHA-1 digest
    Sha1Context hash; // used for the generator only
};

HdrandState state; // zero-filled at process start

} // namespace

void hdrand_seed(const uint8_t counter[8], const uint8_t time[16]) {
    Sha1Initialize(&state.hash);
    Sha1Update(&state.hash, counter, 8);
    Sha1Update(&state.hash, time, 16);
    Sha1Finalize(&state.hash);
    state.pos = 0;
    Sha1GetDigest(&state.hash, state.pool);
}

bool hdrand_init() {
    SYSTEMTIME now;
    LARGE_INTEGER counter;
    GetSystemTime(&now);
    QueryPerformanceCounter(&counter);

    static_assert(sizeof now == 16 && sizeof counter == 8, "seed layout");
    uint8_t timeBytes[16];
    uint8_t counterBytes[8];
    std::memcpy(timeBytes, &now, sizeof timeBytes);
    std::memcpy(counterBytes, &counter, sizeof counterBytes);
    hdrand_seed(counterBytes, timeBytes);
    return true;
}

int32_t hdrand_test() {
    return 1;
}

uint32_t hdrand() {
    uint32_t p = state.pos;
    if (p + 4 >= 20) {
        p = 0;
    }
    state.pos = p;
    const uint32_t result = uint32_t(state.pool[p]) | (uint32_t(state.pool[p + 1]) << 8) |
                            (uint32_t(state.pool[p + 2]) << 16) |
                            (uint32_t(state.pool[p + 3]) << 24);

    const uint8_t posBytes[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16), uint8_t(p >> 24)};
    Sha1Initialize(&state.hash);
    Sha1Update(&state.hash, state.pool + 2, 16);
    Sha1Update(&state.hash, posBytes, 4);
    Sha1Finalize(&state.hash);
    Sha1GetDigest(&state.hash, state.pool);

    state.pos = (p + 4) % 20;
    return result;
}
