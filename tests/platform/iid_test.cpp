// IIDFromString: the braced form only, with Windows' answers for the other texts: E_INVALIDARG
// for a wrong length, CO_E_IIDSTRING with the fields parsed so far for a malformed text.
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

TEST(IIDFromString, WrongLengthsAreInvalidArgumentsAndKeepTheGuid) {
    const wchar_t* const rejected[] = {
        L"",
        L"abc",
        L"StdFont",
        L"c799c725-24b9-464b-b6c7-5e300dce17d6",    // no braces: 36 characters
        L"{c799c725-24b9-464b-b6c7-5e300dce17d}",   // 37
        L"{c799c725-24b9-464b-b6c7-5e300dce17d6}x", // 39
        L"{c799c725-24b9-464b-b6c7-5e30}",
    };
    for (const wchar_t* text : rejected) {
        GUID g = kSentinel;
        EXPECT_EQ(IIDFromString(text, &g), E_INVALIDARG)
            << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(std::memcmp(&g, &kSentinel, sizeof g), 0) << "GUID changed";
    }
    // A zero inside the 38 characters ends the text there.
    const wchar_t cut[] = L"{c799c725-24b9\0464b-b6c7-5e300dce17d6}";
    GUID g = kSentinel;
    EXPECT_EQ(IIDFromString(cut, &g), E_INVALIDARG);
    EXPECT_EQ(std::memcmp(&g, &kSentinel, sizeof g), 0);
}

TEST(IIDFromString, MalformedTextsKeepTheFieldsParsedBeforeTheFault) {
    struct Case {
        const wchar_t* text;
        GUID expected; // the sentinel where nothing was stored
    };
    const GUID s = kSentinel;
    const Case cases[] = {
        // Not starting with a brace: nothing stored.
        {L"(c799c725-24b9-464b-b6c7-5e300dce17d6)", s},
        {L" c799c725-24b9-464b-b6c7-5e300dce17d6}", s},
        // A fault inside Data1: the digits before it.
        {L"{c79gc725-24b9-464b-b6c7-5e300dce17d6}",
         {0xc79, s.Data2, s.Data3, {1, 2, 3, 4, 5, 6, 7, 8}}},
        {L"{+799c725-24b9-464b-b6c7-5e300dce17d6}",
         {0, s.Data2, s.Data3, {1, 2, 3, 4, 5, 6, 7, 8}}},
        // A wrong separator after Data1, a non-ASCII digit in Data3.
        {L"{c799c725=24b9-464b-b6c7-5e300dce17d6}",
         {0xc799c725, s.Data2, s.Data3, {1, 2, 3, 4, 5, 6, 7, 8}}},
        {L"{c799c725-24b9-46\u0664b-b6c7-5e300dce17d6}",
         {0xc799c725, 0x24b9, 0x46, {1, 2, 3, 4, 5, 6, 7, 8}}},
        // Data4 byte by byte: a fault in the second digit of its fourth byte.
        {L"{c799c725-24b9-464b-b6c7-5e3x0dce17d6}",
         {0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 4, 5, 6, 7, 8}}},
        // Every field read, but no closing brace.
        {L"{c799c725-24b9-464b-b6c7-5e300dce17d6)",
         {0xc799c725, 0x24b9, 0x464b, {0xb6, 0xc7, 0x5e, 0x30, 0x0d, 0xce, 0x17, 0xd6}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        GUID g = kSentinel;
        EXPECT_EQ(IIDFromString(c.text, &g), CO_E_IIDSTRING);
        EXPECT_EQ(g.Data1, c.expected.Data1);
        EXPECT_EQ(g.Data2, c.expected.Data2);
        EXPECT_EQ(g.Data3, c.expected.Data3);
        EXPECT_EQ(std::memcmp(g.Data4, c.expected.Data4, 8), 0);
    }
}

TEST(IIDFromString, NullArguments) {
    GUID g = kSentinel;
    EXPECT_EQ(IIDFromString(nullptr, &g), S_OK) << "a null text is the null GUID";
    const GUID null{};
    EXPECT_EQ(std::memcmp(&g, &null, sizeof g), 0);
    EXPECT_EQ(IIDFromString(L"{c799c725-24b9-464b-b6c7-5e300dce17d6}", nullptr), E_INVALIDARG);
}

} // namespace
