// The fuzz input's driver behind the channel: see fuzz_driver.h.
#include "fuzz_driver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/win32.h"
#include "simbook/driver/cipher.h"
#include "simbook/machine.h"
// The tests' statement of the protocol's numbers (the fuzz programs build without the tests).
#include "../tests/support/protocol.h"

namespace {

using nwt::test::protocol::kFirmwareCall;
using nwt::test::protocol::kIoctlCapsule;
using nwt::test::protocol::kIoctlEndSession;
using nwt::test::protocol::kIoctlHandshake;
using nwt::test::protocol::kPhase1Size;
using nwt::test::protocol::kPhase2RequestSize;
using nwt::test::protocol::kPhase3ReplySize;
using nwt::test::protocol::kPhase3RequestSize;
using nwt::test::protocol::kProofSize;

constexpr uint32_t kSessionId = 0x5e551011;

// Fake handles: any value but null and INVALID_HANDLE_VALUE.
HDEVINFO const kDevices = reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x1000));
HKEY const kKey = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x2000));
HANDLE const kDevice = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x3000));
HANDLE const kPersistentDevice = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x3001));
HANDLE const kHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4000));
const wchar_t kDevicePath[] = L"\\\\?\\fuzz#driver";

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "fuzz driver: the channel sent %s\n", what);
    std::abort();
}

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

size_t CapsuleSize(size_t payload) {
    return 16 + 8 * ((payload + 7) / 8);
}

// The input, read front to back; reads past its end give zeros and mark it exhausted.
class Input {
public:
    void Reset(const uint8_t* data, size_t size) {
        data_ = data;
        size_ = size;
        at_ = 0;
    }
    bool Exhausted() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t Le(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return v;
    }
    // Up to `count` bytes; fewer when the input ends.
    std::vector<uint8_t> Take(size_t count) {
        const size_t n = std::min(count, size_ - std::min(at_, size_));
        std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
        at_ += n;
        return bytes;
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t at_ = 0;
};

constexpr DWORD kErrors[8] = {
    ERROR_NOT_SUPPORTED,       ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED, ERROR_MORE_DATA,
    ERROR_INSUFFICIENT_BUFFER, ERROR_GEN_FAILURE,       ERROR_SUCCESS,       ERROR_IO_DEVICE};

// The driver's side of the session: a fixed key pair, the state of the handshake and the
// session cipher once established.
struct Session {
    enum class State { None, AwaitingProof, AwaitingKey, Established } state = State::None;
    simbook::DhNumber clientPublic{};
    std::array<uint8_t, 20> t0{};
    std::array<uint8_t, 16> kek{};
    simbook::ChannelBlowfish cipher;
};

const std::vector<uint8_t>& DriverSecret() {
    static const std::vector<uint8_t> secret = {0x3b, 0x91, 0x07, 0xd2, 0x5e, 0x68, 0xa4,
                                                0x1f, 0xc0, 0x77, 0x2a, 0x9d, 0x13, 0xe5,
                                                0x48, 0xb6, 0x0c, 0xf1, 0x82, 0x5a};
    return secret;
}

const simbook::DhNumber& DriverPublic() {
    static const simbook::DhNumber value = simbook::DhPow2(DriverSecret());
    return value;
}

constexpr std::array<uint8_t, 24> kDriverNonce = {0x4e, 0x64, 0x2d, 0x66, 0x75, 0x7a, 0x7a, 0x01,
                                                  0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                                  0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11};

// One device handle's side of the driver: how it answers and its session.
struct Device {
    int mode = 0;
    int tamperPhase = 0; // 1..3: that phase's reply gets one byte flipped
    size_t tamperOffset = 0;
    Session session;
    uint32_t sequence = 0; // the sequence number the next request capsule must carry
    bool open = false;
};

struct Run {
    Input input;
    Device fresh;      // the handle of a run's own wrapper
    Device persistent; // the handle of the session that valid-session runs share
    bool openingPersistent = false;
    Device* current = &fresh; // the device of the call in progress
    int openSets = 0;
    int openKeys = 0;
};

Run g_run;
thread_local DWORD t_lastError = ERROR_SUCCESS;

BOOL Answer(BOOL result, DWORD error, DWORD returned, LPDWORD bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    SetLastError(result ? ERROR_SUCCESS : error);
    return result;
}

// A raw answer from the input.
BOOL RawAnswer(uint8_t* out, DWORD outSize, LPDWORD bytesReturned) {
    Input& in = g_run.input;
    if (in.Exhausted()) {
        return Answer(FALSE, ERROR_GEN_FAILURE, 0, bytesReturned);
    }
    const uint8_t control = in.Byte();
    const size_t length = in.Byte();
    std::vector<uint8_t> bytes = in.Take(length);
    const DWORD returned = static_cast<DWORD>(std::min<size_t>(bytes.size(), outSize));
    if (returned != 0) {
        std::memcpy(out, bytes.data(), returned);
    }
    const bool fails = (control & 1) != 0;
    return Answer(fails ? FALSE : TRUE, kErrors[(control >> 1) & 7], returned, bytesReturned);
}

void Tamper(int phase, uint8_t* reply, size_t size) {
    if (g_run.current->tamperPhase == phase && size != 0) {
        reply[g_run.current->tamperOffset % size] ^= 0x01;
    }
}

BOOL Phase1(const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD returned) {
    Session& s = g_run.current->session;
    if (inSize != kPhase1Size || outSize != kPhase1Size || s.state != Session::State::None) {
        Fault("a malformed or repeated phase 1 request");
    }
    std::memcpy(s.clientPublic.data(), in + 4, simbook::kDhBytes);
    if (!simbook::DhPublicValueValid(s.clientPublic)) {
        Fault("a public value outside the group");
    }
    uint8_t nonces[48];
    std::memcpy(nonces, in + 136, 24);
    std::memcpy(nonces + 24, kDriverNonce.data(), 24);
    const auto& key = simbook::Machine{}.driver.authKey;
    s.t0 = simbook::HmacSha1(key.data(), key.size(), nonces, sizeof nonces);
    PutLe32(out, kSessionId);
    std::memcpy(out + 4, DriverPublic().data(), simbook::kDhBytes);
    std::memcpy(out + 136, kDriverNonce.data(), kDriverNonce.size());
    Tamper(1, out, kPhase1Size);
    s.state = Session::State::AwaitingProof;
    return Answer(TRUE, 0, static_cast<DWORD>(kPhase1Size), returned);
}

BOOL Phase2(const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD returned) {
    Session& s = g_run.current->session;
    if (inSize != kPhase2RequestSize || outSize != kProofSize ||
        s.state != Session::State::AwaitingProof) {
        Fault("a malformed or misplaced phase 2 request");
    }
    if (Le32(in + 4) != kSessionId) { // after a tampered phase 1 reply: a session never issued
        return Answer(FALSE, ERROR_INVALID_PARAMETER, 0, returned);
    }
    // Without tampering the client must prove Yc || Yd; after a tampered phase 1 its proof
    // covers the values it received, which this driver does not check.
    uint8_t values[2 * simbook::kDhBytes];
    std::memcpy(values, s.clientPublic.data(), simbook::kDhBytes);
    std::memcpy(values + simbook::kDhBytes, DriverPublic().data(), simbook::kDhBytes);
    const auto expected = simbook::HmacSha1(s.t0.data(), s.t0.size(), values, sizeof values);
    if (g_run.current->tamperPhase != 1 && std::memcmp(expected.data(), in + 8, kProofSize) != 0) {
        Fault("a wrong client proof");
    }
    std::memcpy(values, DriverPublic().data(), simbook::kDhBytes);
    std::memcpy(values + simbook::kDhBytes, s.clientPublic.data(), simbook::kDhBytes);
    const auto proof = simbook::HmacSha1(s.t0.data(), s.t0.size(), values, sizeof values);
    std::memcpy(out, proof.data(), kProofSize);
    Tamper(2, out, kProofSize);
    const simbook::DhNumber z = simbook::DhSharedSecret(s.clientPublic, DriverSecret());
    const auto digest = simbook::Sha1(z.data(), z.size());
    std::memcpy(s.kek.data(), digest.data(), s.kek.size());
    s.state = Session::State::AwaitingKey;
    return Answer(TRUE, 0, static_cast<DWORD>(kProofSize), returned);
}

BOOL Phase3(const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD returned) {
    Session& s = g_run.current->session;
    if (inSize != kPhase3RequestSize || outSize != kPhase3ReplySize ||
        s.state != Session::State::AwaitingKey || Le32(in + 4) != kSessionId) {
        Fault("a malformed or misplaced phase 3 request");
    }
    uint8_t sessionKey[16];
    std::memcpy(sessionKey, in + 8, sizeof sessionKey);
    {
        simbook::ChannelBlowfish kek;
        kek.SetKey(s.kek.data(), s.kek.size());
        kek.Decipher(sessionKey);
        kek.Decipher(sessionKey + 8);
    }
    s.cipher.SetKey(sessionKey, sizeof sessionKey);
    uint32_t left = 0x68747541;  // "Auth"
    uint32_t right = 0x6373694d; // "Misc"
    s.cipher.EncipherHalves(left, right);
    PutLe32(out, left);
    PutLe32(out + 4, right);
    Tamper(3, out, kPhase3ReplySize);
    s.state = Session::State::Established;
    return Answer(TRUE, 0, static_cast<DWORD>(kPhase3ReplySize), returned);
}

BOOL Handshake(const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD returned) {
    if (g_run.current->mode == 2) {
        return Answer(FALSE, ERROR_NOT_SUPPORTED, 0, returned);
    }
    if (inSize == 0) { // the probe
        if (in != nullptr || out != nullptr || outSize != 0) {
            Fault("a probe with buffers");
        }
        return Answer(TRUE, 0, 0, returned);
    }
    if (inSize < 4 || in == nullptr || out == nullptr) {
        Fault("a handshake request without its buffers");
    }
    if (std::memcmp(in, "Ini1", 4) == 0) {
        return Phase1(in, inSize, out, outSize, returned);
    }
    if (std::memcmp(in, "Ini2", 4) == 0) {
        return Phase2(in, inSize, out, outSize, returned);
    }
    if (std::memcmp(in, "Ini3", 4) == 0) {
        return Phase3(in, inSize, out, outSize, returned);
    }
    Fault("an unknown handshake request");
}

// Checks a request capsule (deciphered in session mode) and returns its firmware packet; `room`
// is the answer size it asks for.
std::vector<uint8_t> OpenRequest(const uint8_t* in, DWORD inSize, DWORD outSize, size_t& room) {
    const bool enciphered = g_run.current->mode == 1;
    if (in == nullptr || inSize < 16 + 24) {
        Fault("a request capsule shorter than its fields");
    }
    const uint32_t length = Le32(in);
    if (Le32(in + 4) != inSize || CapsuleSize(length) != inSize) {
        Fault("a request capsule whose lengths disagree");
    }
    if (Le32(in + 8) != (enciphered ? kSessionId : 0)) {
        Fault("a request capsule of another session");
    }
    std::vector<uint8_t> area(in + 12, in + inSize - 4);
    if (enciphered) {
        for (size_t at = 0; at + 8 <= area.size(); at += 8) {
            g_run.current->session.cipher.Decipher(area.data() + at);
        }
    }
    const uint8_t* r = area.data();
    const uint32_t inputSize = Le32(r + 12);
    if (Le32(r + 4) != length || static_cast<uint64_t>(inputSize) + 24 != length ||
        Le32(r + 8) != kFirmwareCall) {
        Fault("a malformed encapsulated request");
    }
    if (Le32(r) != g_run.current->sequence) {
        Fault("a wrong sequence number");
    }
    room = Le32(r + 16);
    if (CapsuleSize(room) != outSize) {
        Fault("an answer room that disagrees with the request");
    }
    return std::vector<uint8_t>(r + 20, r + 20 + inputSize);
}

BOOL CapsuleAnswer(const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize,
                   LPDWORD bytesReturned) {
    if (g_run.current->mode == 1 && g_run.current->session.state != Session::State::Established) {
        Fault("a capsule outside a session");
    }
    size_t room = 0;
    const std::vector<uint8_t> packet = OpenRequest(in, inSize, outSize, room);
    Input& input = g_run.input;
    if (input.Exhausted()) {
        return Answer(FALSE, ERROR_GEN_FAILURE, 0, bytesReturned);
    }
    const uint8_t control = input.Byte();
    const uint32_t lengthField = (control & 2) != 0 ? input.Le(4) : 0;
    const uint32_t totalField = (control & 4) != 0 ? input.Le(4) : 0;
    const uint32_t returnedField = (control & 8) != 0 ? input.Le(2) : 0;
    const size_t n = input.Byte();
    std::vector<uint8_t> payload;
    if ((control & 0x80) != 0) {
        payload = packet;
        payload.resize(room, 0);
        for (size_t k = 0; k + 1 < n && !payload.empty(); k += 2) {
            const uint8_t offset = input.Byte();
            payload[offset % payload.size()] = input.Byte();
        }
    } else {
        payload = input.Take(n);
    }

    std::vector<uint8_t> reply(CapsuleSize(payload.size()), 0);
    PutLe32(reply.data(), (control & 2) != 0 ? lengthField : static_cast<uint32_t>(payload.size()));
    PutLe32(reply.data() + 8, g_run.current->mode == 1 ? kSessionId : 0);
    std::copy(payload.begin(), payload.end(), reply.begin() + 12);
    if (g_run.current->mode == 1) {
        for (size_t at = 12; at + 8 <= reply.size() - 4; at += 8) {
            g_run.current->session.cipher.Encipher(reply.data() + at);
        }
    }
    PutLe32(reply.data() + 4,
            (control & 4) != 0 ? totalField : static_cast<uint32_t>(reply.size()));
    size_t returned = std::min<size_t>(reply.size(), outSize);
    if ((control & 8) != 0) {
        returned = std::min<size_t>(returned, returnedField);
    }
    if (returned != 0) {
        std::memcpy(out, reply.data(), returned);
    }
    const bool fails = (control & 1) != 0;
    if (!fails || returned != 0) {
        ++g_run.current->sequence; // the channel counts every answer that reached it
    }
    return Answer(fails ? FALSE : TRUE, kErrors[(control >> 4) & 7], static_cast<DWORD>(returned),
                  bytesReturned);
}

} // namespace

namespace fuzz_driver {

bool Begin(const uint8_t* data, size_t size) {
    g_run.input.Reset(data, size);
    const uint8_t flags = g_run.input.Byte();
    Device& d = g_run.fresh;
    d.mode = flags & 3;
    d.tamperPhase = d.mode == 1 ? (flags >> 2) & 3 : 0;
    d.tamperOffset = d.tamperPhase != 0 ? g_run.input.Byte() : 0;
    d.session.state = Session::State::None;
    d.sequence = 0;
    t_lastError = ERROR_SUCCESS;
    return d.mode == 1 && d.tamperPhase == 0;
}

void OpeningSharedSession() {
    g_run.openingPersistent = true;
    g_run.persistent.mode = 1;
    g_run.persistent.tamperPhase = 0;
}

void End() {
    if (g_run.fresh.open || g_run.openSets != 0 || g_run.openKeys != 0) {
        Fault("no close for a handle it opened");
    }
}

} // namespace fuzz_driver

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

HANDLE WINAPI GetProcessHeap(void) {
    return kHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != kHeap) {
        Fault("a heap call on another heap");
    }
    const size_t size = dwBytes == 0 ? 1 : dwBytes;
    return (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, size) : std::malloc(size);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    if (hHeap != kHeap) {
        Fault("a heap call on another heap");
    }
    std::free(lpMem);
    return TRUE;
}

// The clock is pinned, so every run draws the same handshake values.
VOID WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    *lpSystemTime = SYSTEMTIME{2026, 12, 1, 7, 13, 47, 41, 0};
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = 1234567890;
    return TRUE;
}

VOID WINAPI RaiseException(DWORD dwExceptionCode, DWORD, DWORD, const ULONG_PTR*) {
    std::fprintf(stderr, "fuzz driver: exception 0x%08X raised\n",
                 static_cast<unsigned>(dwExceptionCode));
    std::abort();
}

VOID WINAPI Sleep(DWORD) {}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) {
    ++g_run.openSets;
    return kDevices;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* classGuid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    if (set != kDevices || data == nullptr || data->cbSize != sizeof(*data)) {
        Fault("a bad interface enumeration");
    }
    if (index != 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = classGuid != nullptr ? *classGuid : GUID{};
    data->Flags = 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA deviceData) {
    const DWORD needed = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kDevicePath));
    if (set != kDevices) {
        Fault("a detail query on another set");
    }
    if (required != nullptr) {
        *required = needed;
    }
    if (detail == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, kDevicePath, sizeof(kDevicePath));
    if (deviceData != nullptr) {
        deviceData->DevInst = 1;
    }
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
    ++g_run.openKeys;
    return kKey;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (set != kDevices || g_run.openSets == 0) {
        Fault("a second destroy of the device set");
    }
    --g_run.openSets;
    return TRUE;
}

// "DriverVersion": 1.0.8.0, or in mode 3 [length][bytes] from the input.
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
    if (key != kKey || size == nullptr) {
        Fault("a bad registry query");
    }
    std::vector<uint8_t> value;
    if (g_run.current->mode == 3) {
        value = g_run.input.Take(g_run.input.Byte());
    } else {
        static const wchar_t kVersion[] = L"1.0.8.0";
        const auto* bytes = reinterpret_cast<const uint8_t*>(kVersion);
        value.assign(bytes, bytes + sizeof(kVersion));
    }
    if (type != nullptr) {
        *type = REG_SZ;
    }
    const DWORD room = *size;
    *size = static_cast<DWORD>(value.size());
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (value.size() > room) {
        return ERROR_MORE_DATA;
    }
    if (!value.empty()) {
        std::memcpy(data, value.data(), value.size());
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (key != kKey || g_run.openKeys == 0) {
        Fault("a second close of the registry key");
    }
    --g_run.openKeys;
    return ERROR_SUCCESS;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (name == nullptr || std::wcscmp(name, kDevicePath) != 0) {
        Fault("an open of another path");
    }
    const bool persistent = g_run.openingPersistent;
    g_run.openingPersistent = false;
    Device& d = persistent ? g_run.persistent : g_run.fresh;
    if (d.open) {
        Fault("a second open of the exclusive device");
    }
    d.open = true;
    d.session.state = Session::State::None;
    d.sequence = 0;
    return persistent ? kPersistentDevice : kDevice;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    Device* d = handle == kDevice             ? &g_run.fresh
                : handle == kPersistentDevice ? &g_run.persistent
                                              : nullptr;
    if (d == nullptr || !d->open) {
        Fault("a close of a handle that is not open");
    }
    d->open = false;
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    g_run.current = device == kDevice             ? &g_run.fresh
                    : device == kPersistentDevice ? &g_run.persistent
                                                  : nullptr;
    if (g_run.current == nullptr || !g_run.current->open) {
        Fault("an I/O control on a handle that is not open");
    }
    if (returned == nullptr) {
        Fault("an I/O control without a returned count");
    }
    auto* in = static_cast<const uint8_t*>(inBuffer);
    auto* out = static_cast<uint8_t*>(outBuffer);
    if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0)) {
        Fault("a size without its buffer");
    }
    if (code == kIoctlEndSession) {
        if (inSize != 4) {
            Fault("an end-session request of the wrong size");
        }
        return Answer(TRUE, 0, 0, returned);
    }
    if (code != kIoctlHandshake && code != kIoctlCapsule) {
        Fault("an unknown I/O-control code");
    }
    if (g_run.current->mode == 0 || g_run.current->mode == 3) {
        return RawAnswer(out, outSize, returned);
    }
    if (code == kIoctlHandshake) {
        return Handshake(in, inSize, out, outSize, returned);
    }
    return CapsuleAnswer(in, inSize, out, outSize, returned);
}

} // extern "C"
