// In-process tests of the simbook command: files.
#include <gtest/gtest.h>
