// The raw firmware values of the setting items and what they decode to.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/settings/setting_items.h"

namespace {

TEST(WlanFlags, BitEightChoosesOneOrTwoStateBits) {
    struct Case {
        WORD flags;
        bool ok;
        int32_t state;
    };
    const Case cases[] = {
        {0x0000, true, 0}, {0x0001, true, 1}, {0x0002, true, 0},  {0x0003, true, 1},
        {0x00FE, true, 0}, {0x00FF, true, 1}, {0x0200, true, 0},  {0xFEFF, true, 1},
        {0x0100, true, 0}, {0x0101, true, 1}, {0x0102, false, 0}, {0x0103, false, 0},
        {0x01FC, true, 0}, {0x01FD, true, 1}, {0xFFFE, false, 0}, {0xFFFF, false, 0},
    };
    for (const Case& c : cases) {
        char label[32];
        std::snprintf(label, sizeof label, "flags 0x%04x", c.flags);
        SCOPED_TRACE(label);
        int32_t state = 77;
        EXPECT_EQ(DecodeWlanFlags(c.flags, state), c.ok);
        EXPECT_EQ(state, c.ok ? c.state : 77) << "a failed decode leaves the output alone";
    }
}

TEST(WirelessSwitchSetting, FourValuesMapToSwitchAndInvertedDisplay) {
    struct Case {
        DWORD value;
        int32_t switchState;
        int32_t displayState;
    };
    const Case cases[] = {{0, 0, 1}, {1, 1, 1}, {2, 0, 0}, {3, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        int32_t sw = 77;
        int32_t display = 77;
        ASSERT_TRUE(DecodeWirelessSwitchSetting(c.value, sw, display));
        EXPECT_EQ(sw, c.switchState);
        EXPECT_EQ(display, c.displayState);
    }
    for (DWORD value : {4u, 5u, 7u, 0x100u, 0x80000001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(value);
        int32_t sw = 77;
        int32_t display = 77;
        EXPECT_FALSE(DecodeWirelessSwitchSetting(value, sw, display));
        EXPECT_EQ(sw, 77);
        EXPECT_EQ(display, 77);
    }
}

TEST(WirelessSwitchSetting, WriteBackChangesBitZeroOnly) {
    EXPECT_EQ(ApplyWirelessSwitchValue(3, VALUE_DISABLE), 2u);
    EXPECT_EQ(ApplyWirelessSwitchValue(2, VALUE_ENABLE), 3u);
    EXPECT_EQ(ApplyWirelessSwitchValue(0, VALUE_ENABLE), 1u);
    EXPECT_EQ(ApplyWirelessSwitchValue(1, VALUE_DISABLE), 0u);
    EXPECT_EQ(ApplyWirelessSwitchValue(1, VALUE_ENABLE), 1u);
    EXPECT_EQ(ApplyWirelessSwitchValue(0xFFFFFFFE, VALUE_ENABLE), 0xFFFFFFFFu);
    EXPECT_EQ(ApplyWirelessSwitchValue(0xFFFFFFFF, VALUE_DISABLE), 0xFFFFFFFEu);
    EXPECT_EQ(ApplyWirelessSwitchValue(0xA5, VALUE_NONE), 0xA5u);
    EXPECT_EQ(ApplyWirelessSwitchValue(0xA5, 9), 0xA5u);
}

TEST(ItemValues, FreshValuesHoldTheFirstItemSwitchedOff) {
    const CSetInfo set;
    EXPECT_EQ(set._nItem, ITEM_WLAN);
    EXPECT_EQ(set._nValue, VALUE_DISABLE);
    const CGetInfo get;
    EXPECT_EQ(get._nItem, ITEM_WLAN);
    EXPECT_EQ(get._nValue, VALUE_DISABLE);
}

} // namespace
