// Process-wide random generator: seeded from the clock and the performance counter through
// SHA-1, stepped through SHA-1 after every word.
#pragma once

#include <cstdint>

bool hdrand_init();
int32_t hdrand_test();
uint32_t hdrand();

// Seeds the generator from an 8-byte counter reading and a 16-byte wall-clock reading (both in
// their native layout), exactly as hdrand_init does after reading the clock. Tests use it to
// get known sequences.
void hdrand_seed(const uint8_t counter[8], const uint8_t time[16]);
