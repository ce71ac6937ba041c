// Randomized tests of the INI store: awkward names and values set and erased at random load back
// identical, any file that loads writes back byte for byte, and groups walk in byte order.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "scratch_files.h"

namespace {

std::string RandomText(std::mt19937& random, size_t max_length) {
  static const std::string kAlphabet("aBz0/ \t=[]\"\\\n\r;#\0\x1B\xEF\xBB\xBFxnt", 24);
  std::string text(random() % (max_length + 1), ' ');
  for (char& c : text) c = kAlphabet[random() % kAlphabet.size()];
  return text;
}

TEST(IniRoundTripTest, AnyBytesLoadBackIdentical) {
  std::mt19937 random(20261205);
  for (int round = 0; round < 1000; ++round) {
    MemoryIni ini;
    ini.LoadImage("; seed file\r\nlead=1\r\n[/Seed]\r\nk = v\r\n\r\n# tail\r\n", "seed.ini");
    IniContent model{{"", {{"lead", "1"}}}, {"/Seed", {{"k", "v"}}}};
    std::vector<std::string> groups{"", "/Seed"};
    for (int step = 0; step < 40; ++step) {
      int action = static_cast<int>(random() % 10);
      std::string group = action < 5 ? RandomText(random, 8) : groups[random() % groups.size()];
      if (action < 8) {
        std::string key = RandomText(random, 8);
        std::string value = RandomText(random, 16);
        ini.SetKeyValue(group, key, value);
        model[group].emplace(key, value).first->second = value;
        groups.push_back(group);
      } else if (action == 8 && model.count(group) != 0 && !model[group].empty()) {
        std::string key = model[group].begin()->first;
        ini.EraseKey(group, key);
        model[group].erase(key);
      } else if (action == 9) {
        ini.EraseGroup(group);
        model.erase(group);
      }
    }
    ASSERT_EQ(ContentOf(ini), model) << "round " << round;
    const std::string text = ini.SerializeImage();
    MemoryIni reread;
    ASSERT_NO_THROW(reread.LoadImage(text, "round.ini")) << "round " << round;
    ASSERT_EQ(ContentOf(reread), model) << "round " << round;
    ASSERT_EQ(reread.SerializeImage(), text) << "round " << round;
  }
}

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
