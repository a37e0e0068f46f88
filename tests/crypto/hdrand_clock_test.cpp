// Seeding from the clock, through the Linux stand-in with the clock pinned by a machine file:
// hdrand_init must hash the counter bytes, then the time bytes, in their native layout.
#include "common/crypto/hdrand.h"

#include "support/scratch.h"
#include "vec_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

TEST(HdrandClock, InitHashesCounterThenTime) {
    // The first record of hdrand.vec is the counter 1234567890 and the time
    // 2026-12 (day of week 1) 7 13:47:41.000 that this machine file pins.
    const nwt::test::ScratchDir scratch("hdrand-clock");
    const std::string path = nwt::test::WriteMachine(
        scratch, R"({"clock": {"system_time": [2026, 12, 1, 7, 13, 47, 41, 0],)"
                 R"( "performance_counter": 1234567890}})");
    ASSERT_EQ(setenv("SIMBOOK", path.c_str(), 1), 0);

    const auto record = vec::load("hdrand.vec").at(0);
    ASSERT_EQ(record.at("Counter"), "d202964900000000");
    std::istringstream words(record.at("Words"));

    ASSERT_TRUE(hdrand_init());
    std::string w;
    for (int i = 0; words >> w; ++i) {
        EXPECT_EQ(hdrand(), uint32_t(std::stoul(w, nullptr, 16))) << "word " << i;
    }
    // Seeding again from the same pinned clock restarts the same sequence.
    ASSERT_TRUE(hdrand_init());
    words.clear();
    words.str(record.at("Words"));
    words >> w;
    EXPECT_EQ(hdrand(), uint32_t(std::stoul(w, nullptr, 16)));

    unsetenv("SIMBOOK");
}

} // namespace
