// In-process tests of the simbook command: run.
#include <gtest/gtest.h>
