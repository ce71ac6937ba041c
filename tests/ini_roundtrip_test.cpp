// Randomized round trip of the INI store: names and values of awkward bytes, set and erased at
// random, must load back identical after serializing, and serializing again changes nothing.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "ini.h"
#include "qel_log.h"

namespace {

class MemoryIni : public Ini {
 public:
  using Ini::LoadImage;
  using Ini::SerializeImage;
  void FlushIniDataToFile(const std::string&) override {}
};

// What the store should hold: group name -> entries.
using Model = std::map<std::string, IniEntryMap>;

std::string RandomText(std::mt19937& random, size_t max_length) {
  static const char kAlphabet[] = {'a',  'B',    'z',    '0',    '/',    ' ',  '\t', '=',
                                   '[',  ']',    '"',    '\\',   '\n',   '\r', ';',  '#',
                                   '\0', '\x1B', '\xEF', '\xBB', '\xBF', 'x',  'n',  't'};
  std::uniform_int_distribution<size_t> length(0, max_length);
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 1);
  std::string text(length(random), ' ');
  for (char& c : text) c = kAlphabet[pick(random)];
  return text;
}

Model Read(const Ini& ini) {
  Model model;
  for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) {
    model[(*it).GetName()] = *(*it).GetProperties();
  }
  return model;
}

TEST(IniRoundTripTest, AnyBytesLoadBackIdentical) {
  std::mt19937 random(20261205);
  const std::string base = "; seed file\r\nlead=1\r\n[/Seed]\r\nk = v\r\n\r\n# tail\r\n";
  for (int round = 0; round < 1000; ++round) {
    MemoryIni ini;
    ini.LoadImage(base, "seed.ini");
    Model model{{"", {{"lead", "1"}}}, {"/Seed", {{"k", "v"}}}};
    std::vector<std::string> groups{"", "/Seed"};
    for (int step = 0; step < 40; ++step) {
      std::uniform_int_distribution<int> choice(0, 9);
      int action = choice(random);
      std::string group =
          (action < 5 || groups.empty())
              ? RandomText(random, 8)
              : groups[std::uniform_int_distribution<size_t>(0, groups.size() - 1)(random)];
      if (action < 8) {
        std::string key = RandomText(random, 8);
        std::string value = RandomText(random, 16);
        ini.SetKeyValue(group, key, value);
        auto placed = model[group].emplace(key, value);
        if (!placed.second) placed.first->second = value;
        groups.push_back(group);
      } else if (action == 8) {
        if (model.count(group) != 0 && !model[group].empty()) {
          std::string key = model[group].begin()->first;
          ini.EraseKey(group, key);
          model[group].erase(key);
        }
      } else {
        ini.EraseGroup(group);
        model.erase(group);
      }
    }
    ASSERT_EQ(Read(ini), model) << "round " << round;
    const std::string text = ini.SerializeImage();
    MemoryIni reread;
    ASSERT_NO_THROW(reread.LoadImage(text, "round.ini")) << "round " << round;
    ASSERT_EQ(Read(reread), model) << "round " << round;
    ASSERT_EQ(reread.SerializeImage(), text) << "round " << round;
  }
}

TEST(IniRoundTripTest, GroupsWalkInByteOrderWhateverTheirNames) {
  // Long shared prefixes, names that are prefixes of others, and bytes at both ends of the range,
  // in file order at random.
  std::mt19937 random(11);
  static const char* const kParts[] = {"/ZOR_Software",
                                       "/Module",
                                       "/Sub",
                                       "\xFF",
                                       "/",
                                       "/a",
                                       "-",
                                       "0",
                                       "/Component_with_a_long_name"};
  std::set<std::string> names;
  std::string text;
  while (names.size() < 5000) {
    std::string name;
    for (int depth = 1 + static_cast<int>(random() % 6); depth > 0; --depth) {
      name += kParts[random() % (sizeof(kParts) / sizeof(kParts[0]))];
      if (random() % 2 == 0) name += std::to_string(random() % 12);
    }
    if (random() % 50 == 0) name += std::string(1, '\0');
    if (names.insert(name).second) text += "[" + name + "]\n";
  }
  MemoryIni ini;
  ini.LoadImage(text, "order.ini");
  std::vector<std::string> walked;
  for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) walked.push_back((*it).GetName());
  EXPECT_EQ(walked, std::vector<std::string>(names.begin(), names.end()));
  for (const std::string& probe : {std::string("/Module3"), std::string("/ZOR_Software/"),
                                   std::string("\xFF\xFF"), std::string()}) {
    IniGroupIterator found = ini.lower_bound(probe);
    auto expected = names.lower_bound(probe);
    if (expected == names.end()) {
      EXPECT_TRUE(found == ini.end());
    } else {
      EXPECT_EQ((*found).GetName(), *expected);
    }
  }
}

TEST(IniRoundTripTest, AnyFileThatLoadsWritesBackByteForByte) {
  // Files pieced together from fragments of every kind of line, some of them broken.
  static const char* const kPieces[] = {
      "[/A]", "[/A/B]",       "[]",   "[\"q\\\"\"]", "[x",     " [/C] ", "k=v", " k = v ",
      "=",    "==",           "K=\"", "\"n\"=1",     ";c",     "#c",     "   ", "\t",
      "\r",   "\xEF\xBB\xBF", "x",    "[/A]]",       "v=\x1B", "\0=0"};
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> pick(0, sizeof(kPieces) / sizeof(kPieces[0]) - 1);
  std::uniform_int_distribution<int> lines(0, 12);
  int loaded = 0;
  SetLogSink([](const LogRecord&) {});
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int line = lines(random); line > 0; --line) {
      text += kPieces[pick(random)];
      text += kPieces[pick(random)];
      text += (random() % 3 == 0) ? "\r\n" : "\n";
    }
    if (random() % 2 == 0 && !text.empty()) text.pop_back();
    MemoryIni ini;
    ini.LoadImage("[/before]\nkept=1\n", "before.ini");
    try {
      ini.LoadImage(text, "random.ini");
    } catch (int number) {
      ASSERT_EQ(number, kIniBadSyntax);
      ASSERT_EQ(ini.SerializeImage(), "[/before]\nkept=1\n");
      continue;
    }
    ++loaded;
    ASSERT_EQ(ini.SerializeImage(), text) << "round " << round;
    const Model model = Read(ini);
    MemoryIni again;
    again.LoadImage(ini.SerializeImage(), "again.ini");
    ASSERT_EQ(Read(again), model) << "round " << round;
  }
  SetLogSink({});
  EXPECT_GT(loaded, 300);
}

}  // namespace
