// IIDFromString: the strict braced form only, and the caller's GUID untouched on failure.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

const GUID kSentinel = {0xdeadbeef, 0xcafe, 0xf00d, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(IIDFromString, ParsesTheRegistryForm) {
    GUID g = kSentinel;
    ASSERT_EQ(IIDFromString(L"{00112233-4455-6677-8899-aabbccddeeff}", &g), S_OK);
    EXPECT_EQ(g.Data1, 0x00112233u);
    EXPECT_EQ(g.Data2, 0x4455);
    EXPECT_EQ(g.Data3, 0x6677);
    const BYTE tail[8] = {0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    EXPECT_EQ(std::memcmp(g.Data4, tail, 8), 0);

    GUID upper{}, mixed{};
    ASSERT_EQ(IIDFromString(L"{C799C725-24B9-464B-B6C7-5E300DCE17D6}", &upper), S_OK);
    ASSERT_EQ(IIDFromString(L"{c799C725-24b9-464B-b6C7-5e300dCE17d6}", &mixed), S_OK);
    EXPECT_EQ(std::memcmp(&upper, &mixed, sizeof upper), 0);
    EXPECT_EQ(upper.Data1, 0xc799c725u);

    GUID zero = kSentinel;
    ASSERT_EQ(IIDFromString(L"{00000000-0000-0000-0000-000000000000}", &zero), S_OK);
    const GUID null{};
    EXPECT_EQ(std::memcmp(&zero, &null, sizeof zero), 0);
}

TEST(IIDFromString, RejectsEverythingElseAndKeepsTheGuid) {
    const wchar_t* const rejected[] = {
        L"",
        L"abc",
        L"c799c725-24b9-464b-b6c7-5e300dce17d6",       // no braces
        L"{c799c725-24b9-464b-b6c7-5e300dce17d}",      // 37 characters
        L"{c799c725-24b9-464b-b6c7-5e300dce17d6}x",    // 39 characters
        L"{c799c725-24b9-464b-b6c7-5e300dce17d6 ",     // closing brace missing
        L"(c799c725-24b9-464b-b6c7-5e300dce17d6)",     // wrong brackets
        L"{c799c72524b9-464b-b6c7-5e300dce17d6-}",     // hyphen misplaced
        L"{g799c725-24b9-464b-b6c7-5e300dce17d6}",     // not a hex digit
        L"{c799c725-24b9-464b-b6c7-5e300dce17\u0d66}", // a digit, but not an ASCII one
        L"{+799c725-24b9-464b-b6c7-5e300dce17d6}",
        L" {c799c725-24b9-464b-b6c7-5e300dce17d6}",
        L"{c799c725-24b9-464b-b6c7-5e30}",
    };
    for (const wchar_t* text : rejected) {
        GUID g = kSentinel;
        HRESULT hr = IIDFromString(text, &g);
        EXPECT_TRUE(FAILED(hr)) << "accepted: " << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(std::memcmp(&g, &kSentinel, sizeof g), 0) << "GUID changed on failure";
    }
    // A zero inside the 38 characters ends the text there.
    const wchar_t cut[] = L"{c799c725-24b9\0464b-b6c7-5e300dce17d6}";
    GUID g = kSentinel;
    EXPECT_TRUE(FAILED(IIDFromString(cut, &g)));
    EXPECT_EQ(std::memcmp(&g, &kSentinel, sizeof g), 0);

    EXPECT_EQ(IIDFromString(nullptr, &g), E_INVALIDARG);
    EXPECT_EQ(IIDFromString(L"{c799c725-24b9-464b-b6c7-5e300dce17d6}", nullptr), E_INVALIDARG);
}

} // namespace
