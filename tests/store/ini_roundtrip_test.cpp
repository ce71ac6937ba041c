// Randomized tests of the INI store: any file that loads (or fails to) writes back byte for byte,
// and groups walk in byte order.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "scratch_files.h"

namespace {

TEST(IniRoundTripTest, AnyFileThatLoadsWritesBackByteForByte) {
  // Files pieced together from fragments of every kind of line, some of them broken.
  static const std::vector<std::string> kPieces = {
      "[/A]", "[/A/B]", "[]", "[\"q\\\"\"]", "[x", " [/C] ", "[/A]]", "k=v", " k = v ", "=",
      "==", "K=\"", "\"n\"=1", ";c", "#c", "   ", "\t", "\r", "\xEF\xBB\xBF", "x", "v=\x1B",
      // and a NUL byte
      std::string("\0=0", 3)};
  std::mt19937 random(7);
  int loaded = 0;
  LogCapture quiet;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int line = static_cast<int>(random() % 13); line > 0; --line) {
      text += kPieces[random() % kPieces.size()] + kPieces[random() % kPieces.size()];
      text += (random() % 3 == 0) ? "\r\n" : "\n";
    }
    if (random() % 2 == 0 && !text.empty()) text.pop_back();
    MemoryIni ini;
    ini.LoadImage("[/before]\nkept=1\n", "before.ini");
    try {
      ini.LoadImage(text, "random.ini");
    } catch (const QELError& error) {
      ASSERT_EQ(error.Code(), kIniBadSyntax);
      ASSERT_EQ(ini.SerializeImage(), "[/before]\nkept=1\n");
      continue;
    }
    ++loaded;
    ASSERT_EQ(ini.SerializeImage(), text) << "round " << round;
    MemoryIni again;
    again.LoadImage(text, "again.ini");
    ASSERT_EQ(ContentOf(again), ContentOf(ini)) << "round " << round;
  }
  EXPECT_GT(loaded, 300);
}

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
