// Process-wide random generator: seeded from the clock and the performance counter through
// SHA-1, stepped through SHA-1 after every word.
#pragma once

#include <cstdint>

bool hdrand_init();
int32_t hdrand_test();
uint32_t hdrand();
