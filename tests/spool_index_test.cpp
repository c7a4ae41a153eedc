// The spool's small record of a folder's files: names it made itself held as
// numbers and given back exactly, every other name kept as it is, and the
// listing order that draining oldest first relies on.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery/spool_index.h"

namespace {

struct NameCase {
    const char *name;
    bool own; // held as numbers
};

TEST(SpoolIndex, NamesComeBackExactly)
{
    const NameCase cases[] = {
        { "01765432109876543210-0000000042.spool", true },
        { "00000000000000000000-0000000000.spool", true },
        { "09223372036854775807-9999999999.spool", true },  // the largest time there is
        { "09223372036854775808-0000000001.spool", false }, // past it
        { "1765432109876543210-0000000042.spool", false },  // one digit short
        { "01765432109876543210-000000042.spool", false },
        { "01765432109876543210_0000000042.spool", false },
        { "0176543210987654321x-0000000042.spool", false },
        { "-0000000000000000001-0000000042.spool", false },
        { "01765432109876543210-0000000042.spoo1", false },
        { "by-hand.spool", false },
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(htsSpoolIndex::ParseName(c.name).has_value(), c.own);
        if (c.own) {
            EXPECT_EQ(htsSpoolIndex::NameOf(*htsSpoolIndex::ParseName(c.name)), c.name);
        }

        htsSpoolIndex index;
        index.Set(c.name, { "ch", true, 7 });
        ASSERT_TRUE(index.Find(c.name).has_value());
        EXPECT_EQ(index.Find(c.name)->channel, "ch");
        EXPECT_TRUE(index.Find(c.name)->rejected);
        EXPECT_EQ(index.Find(c.name)->size, 7u);
        std::vector<std::string> listed;
        index.EraseIf([&](const std::string &name) {
            listed.push_back(name);
            return false;
        }, [](const htsSpoolIndex::File &) {});
        EXPECT_EQ(listed, std::vector<std::string>{ c.name });
    }
}

TEST(SpoolIndex, SetReplacesEraseForgetsAndChannelsStayApart)
{
    htsSpoolIndex index;
    const std::string a = "00000000000000000001-0000000001.spool";
    const std::string b = "00000000000000000002-0000000002.spool";
    index.Set(a, { "one", false, 10 });
    index.Set(b, { "two", false, 20 });
    index.Set("x.spool", { "one", false, 30 });
    index.Set(a, { "one", true, 11 }); // spooled again as refused
    EXPECT_EQ(index.Size(), 3u);
    EXPECT_TRUE(index.Find(a)->rejected);
    EXPECT_EQ(index.Find(a)->size, 11u);
    EXPECT_EQ(index.Find(b)->channel, "two");
    EXPECT_FALSE(index.Find("00000000000000000003-0000000003.spool").has_value());

    const auto erased = index.Erase(b);
    ASSERT_TRUE(erased.has_value());
    EXPECT_EQ(erased->channel, "two");
    EXPECT_EQ(erased->size, 20u);
    EXPECT_FALSE(index.Erase(b).has_value());
    EXPECT_FALSE(index.Contains(b));

    uint64_t forgotten = 0;
    index.EraseIf([](const std::string &name) { return name == "x.spool"; },
        [&](const htsSpoolIndex::File &f) { forgotten += f.size; });
    EXPECT_EQ(forgotten, 30u);
    EXPECT_EQ(index.Size(), 1u);
    EXPECT_TRUE(index.Contains(a));
}

// Names come out in text order, the latest first, whichever list holds them
// (the spool's own names are kept as numbers).
TEST(SpoolNames, InTextOrderAcrossBothKinds)
{
    const std::vector<std::string> sorted = {
        "0-by-hand.spool",
        "00000000000000000005-0000000002.spool",
        "00000000000000000005-0000000010.spool",
        "00000000000000000005-x.spool",
        "01765432109876543210-0000000001.spool",
        "1-by-hand.spool",
        "zzz.spool",
    };
    htsSpoolNames names;
    for (size_t i = sorted.size(); i-- > 0;) names.Add(sorted[i]);
    names.Seal();
    for (const std::string &name : sorted) EXPECT_TRUE(names.Contains(name)) << name;
    EXPECT_FALSE(names.Contains("00000000000000000005-0000000003.spool"));
    std::vector<std::string> listed;
    while (!names.Empty()) listed.insert(listed.begin(), names.TakeLast());
    EXPECT_EQ(listed, sorted);
}

// Files found at a folder's first use are taken out one by one, by a read
// (by name) or by the count that runs while the spool is idle (newest
// first): each exactly once.
TEST(SpoolNames, EachNameTakenOnce)
{
    const std::vector<std::string> sorted = {
        "0-by-hand.spool",
        "00000000000000000005-0000000002.spool",
        "00000000000000000005-0000000010.spool",
        "01765432109876543210-0000000001.spool",
        "zzz.spool",
    };
    htsSpoolNames names;
    for (const std::string &name : sorted) names.Add(name);
    names.Seal();
    EXPECT_TRUE(names.Take(sorted[1]));
    EXPECT_FALSE(names.Take(sorted[1]));
    EXPECT_FALSE(names.Take("00000000000000000005-0000000003.spool"));
    EXPECT_TRUE(names.Take("zzz.spool"));
    names.TakeIf([](const std::string &name) { return name == "0-by-hand.spool"; });
    EXPECT_FALSE(names.Take("0-by-hand.spool"));
    EXPECT_FALSE(names.Empty());
    EXPECT_EQ(names.TakeLast(), sorted[3]);
    EXPECT_EQ(names.TakeLast(), sorted[2]);
    EXPECT_TRUE(names.Empty());
    EXPECT_EQ(names.TakeLast(), "");
}

} // namespace
