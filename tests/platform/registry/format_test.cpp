#include "platform/registry/hive_format.h"
#include "platform/registry/registry.h"

#include "temp_root.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace reg;

TEST(HiveFormat, RoundTripsAwkwardNamesAndData)
{
    HiveTree tree;
    KeyNode& a = tree.root.addChild(u"Software", tree.nextId++, false);
    KeyNode& b = a.addChild(u"100% @home not a separator? \u00e9\u4e2d \U0001F3B5", tree.nextId++, true);
    b.values.push_back({u"", ValueType::Sz, szData(u"default")});
    b.values.push_back({u"@", ValueType::Dword, {1, 2, 3, 4}});
    b.values.push_back({u"with space\tand tab", ValueType::Binary, {}});
    b.values.push_back({u"x\\y", ValueType::Qword, {0, 0xff, 0x10, 0, 0, 0, 0, 0x80}});
    const std::string text = serialize(tree);
    HiveTree back;
    std::string why;
    ASSERT_TRUE(parse(text, back, &why)) << why << "\n" << text;
    EXPECT_EQ(serialize(back), text);
    ASSERT_EQ(back.root.subkeys.size(), 1u);
    const KeyNode& b2 = back.root.subkeys[0].subkeys.at(0);
    EXPECT_EQ(b2.name, b.name);
    EXPECT_TRUE(b2.isVolatile);
    ASSERT_EQ(b2.values.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(b2.values[i].name, b.values[i].name);
        EXPECT_EQ(b2.values[i].type, b.values[i].type);
        EXPECT_EQ(b2.values[i].data, b.values[i].data);
    }
}

TEST(HiveFormat, TextIsAsDocumented)
{
    HiveTree tree;
    KeyNode& sw = tree.root.addChild(u"Software", tree.nextId++, false);
    KeyNode& cp = sw.addChild(u"Control Panel", tree.nextId++, true);
    cp.values.push_back({u"", ValueType::Sz, szData(u"A")});
    cp.values.push_back({u"VID", ValueType::Dword, {0x71, 0x3a, 0, 0}});
    EXPECT_EQ(serialize(tree), "orvo-registry 1 4\n"
                               "key 1 - \\\n"
                               "key 2 - \\Software\n"
                               "key 3 v \\Software\\Control%20Panel\n"
                               "value 1 @ 41000000\n"
                               "value 4 VID 713a0000\n");
}

TEST(HiveFormat, DamageIsReportedNotRepaired)
{
    const std::string good = "orvo-registry 1 3\nkey 1 - \\\nkey 2 - \\A\nvalue 4 V 01000000\n";
    HiveTree t;
    ASSERT_TRUE(parse(good, t));
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"cut mid-line", good.substr(0, good.size() - 3)},
        {"cut mid-file", good.substr(0, 20)},
        {"empty", ""},
        {"no header", "key 1 - \\\n"},
        {"child before parent", "orvo-registry 1 4\nkey 1 - \\\nkey 3 - \\A\\B\n"},
        {"lasting under volatile", "orvo-registry 1 4\nkey 1 - \\\nkey 2 v \\A\nkey 3 - \\A\\B\n"},
        {"odd hex", "orvo-registry 1 3\nkey 1 - \\\nkey 2 - \\A\nvalue 4 V 010\n"},
        {"value twice", "orvo-registry 1 3\nkey 1 - \\\nkey 2 - \\A\nvalue 4 V -\nvalue 4 v -\n"},
        {"key twice", "orvo-registry 1 4\nkey 1 - \\\nkey 2 - \\A\nkey 3 - \\a\n"},
        {"id beyond next", "orvo-registry 1 2\nkey 1 - \\\nkey 2 - \\A\n"},
        {"raw space in a name", "orvo-registry 1 3\nkey 1 - \\\nkey 2 - \\A B\n"},
    };
    for (const auto& [what, text] : bad)
        EXPECT_FALSE(parse(text, t)) << what;
}

TEST(HiveFormat, RegistryRefusesACorruptHive)
{
    TempRoot root;
    Registry r(root.path);
    KeyRef k;
    ASSERT_EQ(r.create(r.hiveRoot(Hive::CurrentUser), u"Software", false, k), Error::Ok);
    std::ofstream(r.hiveFile(Hive::CurrentUser), std::ios::trunc) << "orvo-registry 1 3\nkey 1 - \\\nkey 2 - \\Soft";
    Registry fresh(root.path);
    EXPECT_EQ(fresh.open(fresh.hiveRoot(Hive::CurrentUser), u"Software", k), Error::Corrupt);
    EXPECT_EQ(fresh.create(fresh.hiveRoot(Hive::CurrentUser), u"Other", false, k), Error::Corrupt);
}

} // namespace
