// Randomized test of the INI store's group order: groups loaded, inserted and erased walk in byte
// order whatever their names. The byte-for-byte write-back is the writer model's check.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "scratch_files.h"

namespace {

TEST(IniRoundTripTest, GroupsWalkInByteOrderWhateverTheirNames) {
  // Long shared prefixes, names that are prefixes of others, and bytes at both ends of the range;
  // half of them loaded in random order, the rest inserted, some erased, before the first walk.
  static const char* const kParts[] = {
      "/ZOR_Software", "/Module", "/Sub", "\xFF", "/", "/a", "-", "0", "/Component_long_name"};
  std::mt19937 random(11);
  std::set<std::string> names;
  std::string text;
  std::vector<std::string> inserted;
  while (names.size() < 5000) {
    std::string name;
    for (int depth = 1 + static_cast<int>(random() % 6); depth > 0; --depth) {
      name += kParts[random() % (sizeof(kParts) / sizeof(kParts[0]))];
      if (random() % 2 == 0) name += std::to_string(random() % 12);
    }
    if (random() % 50 == 0) name += std::string(1, '\0');
    if (!names.insert(name).second) continue;
    if (names.size() % 2 == 0) text += "[" + name + "]\n";
    if (names.size() % 2 == 1) inserted.push_back(name);
  }
  MemoryIni ini;
  ini.LoadImage(text, "order.ini");
  for (size_t i = 0; i < inserted.size(); ++i) {
    EXPECT_TRUE(ini.InsertNewGroup(inserted[i]));
    if (i % 3 == 0) ini.EraseGroup(inserted[i / 2]);
    if (i % 3 == 0) names.erase(inserted[i / 2]);
  }
  EXPECT_EQ(GroupNames(ini), std::vector<std::string>(names.begin(), names.end()));
  for (const std::string probe : {"/Module3", "/ZOR_Software/", "\xFF\xFF", "/c", ""}) {
    IniGroupIterator found = ini.lower_bound(probe);
    auto expected = names.lower_bound(probe);
    EXPECT_EQ(found == ini.end() ? "<end>" : (*found).GetName(),
              expected == names.end() ? "<end>" : *expected)
        << probe;
  }
  // After the first walk the order is kept up to date in place.
  ini.EraseGroup(*names.begin());
  names.erase(names.begin());
  ini.SetKeyValue("/Module/new", "k", "v");
  names.insert("/Module/new");
  EXPECT_EQ(GroupNames(ini), std::vector<std::string>(names.begin(), names.end()));
  EXPECT_EQ(ini.GroupCount(), names.size());
}

}  // namespace
