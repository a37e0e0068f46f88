// In-process tests of the simbook command: trace.
#include <gtest/gtest.h>
