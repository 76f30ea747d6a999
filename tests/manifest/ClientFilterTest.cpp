// Client filter entries: name, inclusive version bounds, OEM and LANG lists.
#include <gtest/gtest.h>

#include "manifest/mcClientFilter.h"

namespace {

mcClientFilter Entry(std::string name, std::string min, std::string max,
                     std::vector<std::string> oems = {}, std::vector<std::string> langs = {}) {
    mcClientFilter f;
    f.m_strName = std::move(name);
    f.m_strMinVersion = std::move(min);
    f.m_strMaxVersion = std::move(max);
    f.m_vecOEMs = std::move(oems);
    f.m_vecLangs = std::move(langs);
    return f;
}

msClientRecord Client(std::string name, std::string version, std::string oem = "", std::string lang = "") {
    return msClientRecord{std::move(name), std::move(version), std::move(oem), std::move(lang)};
}

}  // namespace

TEST(ClientFilter, NameIsExactAndCaseSensitive) {
    const mcClientFilter f = Entry("Jukebox", "", "");
    EXPECT_TRUE(f.Matches(Client("Jukebox", "anything")));
    EXPECT_FALSE(f.Matches(Client("jukebox", "1.0.0")));
    EXPECT_FALSE(f.Matches(Client("Jukebox2", "1.0.0")));
    EXPECT_FALSE(f.Matches(Client("", "")));
}

TEST(ClientFilter, VersionBoundsAreInclusive) {
    const mcClientFilter f = Entry("A", "1.2.0", "1.4.10");
    EXPECT_TRUE(f.Matches(Client("A", "1.2.0")));    // = min
    EXPECT_TRUE(f.Matches(Client("A", "1.02.000"))); // = min, other spelling
    EXPECT_TRUE(f.Matches(Client("A", "1.3.5")));
    EXPECT_TRUE(f.Matches(Client("A", "1.4.10")));   // = max
    EXPECT_FALSE(f.Matches(Client("A", "1.1.99")));
    EXPECT_FALSE(f.Matches(Client("A", "1.4.11")));
    EXPECT_TRUE(f.Matches(Client("A", "1.4.9")));    // numeric: 9 < 10

    // One bound only.
    EXPECT_TRUE(Entry("A", "2.0.0", "").Matches(Client("A", "99.0.0")));
    EXPECT_FALSE(Entry("A", "2.0.0", "").Matches(Client("A", "1.9.9")));
    EXPECT_TRUE(Entry("A", "", "2.0.0").Matches(Client("A", "0.0.1")));
    EXPECT_FALSE(Entry("A", "", "2.0.0").Matches(Client("A", "2.0.1")));
}

TEST(ClientFilter, UncomparableVersionsFailTheBound) {
    // Without bounds the version is not looked at.
    EXPECT_TRUE(Entry("A", "", "").Matches(Client("A", "not a version")));
    EXPECT_FALSE(Entry("A", "1.0.0", "").Matches(Client("A", "1.0")));
    EXPECT_FALSE(Entry("A", "", "9.0.0").Matches(Client("A", "")));
    EXPECT_FALSE(Entry("A", "1.0", "").Matches(Client("A", "1.5.0")));  // a malformed bound
}

TEST(ClientFilter, OemAndLangLists) {
    const mcClientFilter oem = Entry("A", "", "", {"X", "Y"});
    EXPECT_TRUE(oem.Matches(Client("A", "1.0.0", "Y")));
    EXPECT_TRUE(oem.Matches(Client("A", "1.0.0", "X", "fr")));
    EXPECT_FALSE(oem.Matches(Client("A", "1.0.0", "Z")));
    EXPECT_FALSE(oem.Matches(Client("A", "1.0.0", "y")));
    EXPECT_FALSE(oem.Matches(Client("A", "1.0.0", "")));
    EXPECT_TRUE(Entry("A", "", "").Matches(Client("A", "1.0.0", "anything", "anything")));

    const mcClientFilter both = Entry("A", "1.0.0", "", {"X"}, {"en", "de"});
    EXPECT_TRUE(both.Matches(Client("A", "1.0.0", "X", "de")));
    EXPECT_FALSE(both.Matches(Client("A", "1.0.0", "X", "fr")));
    EXPECT_FALSE(both.Matches(Client("A", "0.9.0", "X", "de")));
    EXPECT_FALSE(both.Matches(Client("A", "1.0.0", "Q", "de")));
}
