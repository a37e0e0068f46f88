// The system-management driver as a fuzz target plays it: the platform functions the channel
// calls (Setup API, registry, device, heap, clock, last error), answering every I/O control from
// the fuzz input. Linked instead of the Win32 stand-in.
//
// The input's first byte picks how the driver behaves:
//   mode 0  every answer (probe, the three handshake phases, capsules) comes from the input;
//   mode 1  a valid session: the handshake is answered honestly, with OpenSSL, and every
//           capsule answer is built from the input and enciphered under the session key;
//   mode 2  plain mode: the probe answers ERROR_NOT_SUPPORTED, capsule answers come unciphered
//           from the input;
//   mode 3  as mode 0, with the "DriverVersion" text taken from the input first.
// Its other bits: bits 2..3 pick a handshake reply (phase 1 to 3) to tamper with in mode 1, at
// the offset the second byte gives.
//
// A raw answer is [control][length][bytes]: control bit 0 fails the call, bits 1..3 pick its
// last-error code; as many of the bytes as the output room takes are returned. A capsule answer
// (modes 1 and 2) is [control][fields...][n][n payload bytes]: control bit 0 fails the call
// (bits 4..6 pick the error), bit 1 takes the payload length field, bit 2 the total length field
// and bit 3 the returned count from the next 4, 4 and 2 input bytes instead of their true values;
// bit 7 makes the payload the request packet the channel sent, cut or padded to the answer size
// it asks for, with n/2 (offset, value) patches. Whatever the input does not cover fails as a
// device error.
//
// The driver also checks what the channel sends: well-formed handshake requests with a correct
// client proof, and request capsules whose lengths, code, session and sequence number are right.
// A wrong request is a fault of the channel: the process aborts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz_driver {

// Starts a run over `data`: the answers of every later platform call come from it. True for a
// run over a valid session without tampering (mode 1), which may use the shared session.
bool Begin(const uint8_t* data, size_t size);
// The next open of the device is the shared session's: a handle of its own, kept open across
// runs, with its own session key and sequence number, whose capsule answers come from the input
// of the run in progress.
void OpeningSharedSession();
// Ends a run: checks that every handle the run's own wrapper opened is closed again.
void End();

} // namespace fuzz_driver
