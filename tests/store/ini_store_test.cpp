// Tests of the INI store's image: parsing, bad files, iterators, entries listed without their map,
// views kept beside groups, name comparison, the change journal's merge, and concurrent reads.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ini_journal.h"
#include "scratch_files.h"

namespace {

using Names = std::vector<std::string>;

TEST(IniStoreTest, ParsesEveryKindOfLineAndWritesItBackUnchanged) {
  const std::string text =
      "\xEF\xBB\xBF; heading comment\r\ntop = level\r\n\r\n[/A/B]\r\n  Name  =  spaced value  \r\n"
      "# a comment\r\nlist=one\x1Btwo\r\nempty=\r\nquoted=\"John \\\"J\\\" Smith\"\r\n"
      "path=\"C:\\dir\"\r\n\"a=b\" = x\r\n[ spaced ]\r\n[\"line\\nbreak\"]\r\nk=v";
  MemoryIni ini;
  ini.LoadImage(text, "golden.ini");
  EXPECT_EQ(ini.SerializeImage(), text);
  EXPECT_TRUE(ini.Journal().Empty());
  EXPECT_EQ(ContentOf(ini), (IniContent{{"", {{"top", "level"}}},
                                        {" spaced ", {}},
                                        {"/A/B",
                                         {{"Name", "spaced value"},
                                          {"list", "one\x1Btwo"},
                                          {"empty", ""},
                                          {"quoted", "John \"J\" Smith"},
                                          {"path", "\"C:\\dir\""},
                                          {"a=b", "x"}}},
                                        {"line\nbreak", {{"k", "v"}}}}));
  EXPECT_EQ(ValueOf(ini, "", "TOP"), "level");

  const std::string sample = ReadWholeFile(QEL_SOURCE_DIR "/examples/sample.ini");
  ini.LoadImage(sample, "sample.ini");
  EXPECT_EQ(ini.GroupCount(), 354u);
  EXPECT_EQ(ValueOf(ini, "/ZOR_Software/qel4ds/Config", "Product-Ver"), "9.0.21.100");
  EXPECT_EQ(ini.SerializeImage(), sample);
}

TEST(IniStoreTest, BadLinesAreRejectedWithTheirLineAndTheOldImageStays) {
  const std::string kNeither =
      "the line is neither a group header, an entry (name=value), a comment nor blank";
  const std::string kUnclosed = "a group header must end with ']'";
  const struct {
    std::string text;
    int line;
    std::string reason;
  } cases[] = {
      {"[/A]\nk=v\njust words\n", 3, kNeither},
      {"; c\r\n\r\n[/A\r\n", 3, kUnclosed},
      {"[/A] ; trailing\n", 1, kUnclosed},
      {"\xEF\xBB\xBFnoequals", 1, kNeither},
      {std::string("\xFF\xFE[\0/\0A\0]\0\n\0", 12), 1,
       "the file is UTF-16 (little-endian) text; the store reads UTF-8: save it as UTF-8"},
      {std::string("\xFE\xFF\0[\0/\0A\0]\0\n", 12), 1,
       "the file is UTF-16 (big-endian) text; the store reads UTF-8: save it as UTF-8"},
      {std::string("\xFF\xFE\0\0[\0\0\0", 8), 1,
       "the file is UTF-32 (little-endian) text; the store reads UTF-8: save it as UTF-8"}};
  MemoryIni ini;
  ini.LoadImage("[/Keep]\nk=v\n", "good.ini");
  for (const auto& c : cases) {
    LogCapture log;
    try {
      ini.LoadImage(c.text, "/etc/bad.ini");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const QELError& error) {
      EXPECT_EQ(error.Code(), kIniBadSyntax);
      EXPECT_EQ(error.Facility(), kIniFacility);
      EXPECT_EQ(error.What(), "cannot load INI file /etc/bad.ini, line " + std::to_string(c.line) +
                                  ": " + c.reason);
    }
    // The error carries the cause; whoever catches it decides whether to log it.
    EXPECT_TRUE(log.records.empty());
  }
  EXPECT_EQ(ini.SerializeImage(), "[/Keep]\nk=v\n");
  EXPECT_EQ(Ini::ExceptionNumberToString(kIniBadSyntax),
            "the INI file has a line that is not a group header, an entry, a comment or blank");
}

TEST(IniStoreTest, IteratorsResumeAfterTheirGroupWhenGroupsComeAndGo) {
  MemoryIni ini;
  EXPECT_TRUE(ini.begin() == ini.end());
  ini.LoadImage("[/a]\n[/b]\n[/c]\n[/d]\n[/e]\n", "walk.ini");
  IniGroupIterator it = ini.begin();
  IniGroupIterator copy = it;
  for (const char* gone : {"/a", "/b"}) ini.EraseGroup(gone);
  ini.InsertNewGroup("/bb");
  EXPECT_EQ((*++it).GetName(), "/bb");
  ini.EraseGroup("/bb");
  EXPECT_EQ(ini.GetGroupProperty(it.Name()), nullptr);
  EXPECT_EQ((*++it).GetName(), "/c");
  ini.InsertNewGroup("/z");
  ini.EraseGroup("/d");
  Names rest;
  for (++it; it != ini.end(); ++it) rest.push_back((*it).GetName());
  EXPECT_EQ(rest, (Names{"/e", "/z"}));
  EXPECT_EQ((*++copy).GetName(), "/c");
  // Emptying the store under a standing iterator ends it; a reloaded image is a new set of groups.
  IniGroupIterator last = ini.lower_bound("/z");
  for (const char* gone : {"/c", "/e", "/z"}) ini.EraseGroup(gone);
  EXPECT_TRUE(++last == ini.end());
  ini.LoadImage("[/q]\n", "reload.ini");
  EXPECT_EQ((*++copy).GetName(), "/q");
}

// Appends "+" and the given text to an entry, as a stand-in for a list edit.
class Append : public IniEntryEdit {
 public:
  explicit Append(std::string text) : text_(std::move(text)) {}
  bool Apply(const std::string* current, std::string* result) const override {
    *result = (current != nullptr ? *current : std::string()) + "+" + text_;
    return true;
  }

 private:
  std::string text_;
};

// How the journal's changes meet another writer's is the generated merge histories' check; here,
// that a newer file which does not parse changes nothing, and that a flush ends the journal.
TEST(IniStoreTest, AMergeOntoAFileThatDoesNotParseKeepsTheImageAndTheJournal) {
  MemoryIni ini;
  ini.LoadImage("[/A]\nshared=old\n", "merge.ini");
  ini.SetKeyValue("/A", "shared", "ours");
  ini.EditEntry("/A", "list", std::make_shared<Append>("ours"));
  const uint64_t merges = ini.MergeCount();
  {
    LogCapture quiet;
    EXPECT_THROW(ini.MergeOnto("[/A\n", "merge.ini"), QELError);
  }
  EXPECT_EQ(ini.MergeCount(), merges);
  EXPECT_EQ(ini.SerializeImage(), "[/A]\nshared=ours\nlist=+ours\n");
  ini.MergeOnto("[/A]\nshared=again\nlist=theirs\n", "merge.ini");
  EXPECT_EQ(ini.MergeCount(), merges + 1);
  EXPECT_EQ(ini.SerializeImage(), "[/A]\nshared=ours\nlist=theirs+ours\n");

  ini.FlushIniDataToFile("");
  EXPECT_TRUE(ini.Journal().Empty());
  ini.MergeOnto("[/A]\nshared=later\n", "merge.ini");
  EXPECT_EQ(ini.SerializeImage(), "[/A]\nshared=later\n");
}

// A view stands for its group's entries as they are: every kind of change to them drops it,
// changes elsewhere keep it, the first view kept wins, and a merged image starts without views.
TEST(IniStoreTest, GroupViewsLastUntilTheirGroupsEntriesChange) {
  struct Mark : IniGroupView {};
  MemoryIni ini;
  ini.LoadImage("[/A]\nx=1\ny=2\n[/B]\nz=3\n", "views.ini");
  auto keep = [&ini](const std::string& group) {
    return ini.KeepGroupView(group, std::make_unique<Mark>());
  };
  EXPECT_EQ(ini.GetGroupView("/A"), nullptr);
  EXPECT_EQ(keep("/missing"), nullptr);
  const IniGroupView* kept = keep("/A");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(keep("/A"), kept);
  ini.SetKeyValue("/B", "z", "4");
  ini.InsertNewGroup("/C");
  ini.EraseGroup("/C");
  ini.EraseKey("/A", "absent");
  EXPECT_EQ(ini.GetGroupView("/A"), kept);

  const std::vector<std::function<void()>> changes = {
      [&ini] { ini.SetKeyValue("/A", "X", "5"); },
      [&ini] { ini.EraseKey("/A", "y"); },
      [&ini] { ini.EditEntry("/A", "x", std::make_shared<Append>("more")); },
      [&ini] {
        ini.EraseGroup("/A");
        ini.InsertNewGroup("/A");
      },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    ASSERT_NE(keep("/A"), nullptr);
    changes[i]();
    EXPECT_EQ(ini.GetGroupView("/A"), nullptr) << "change " << i;
  }
  ASSERT_NE(keep("/B"), nullptr);
  ini.MergeOnto("[/B]\nz=3\n", "views.ini");
  EXPECT_EQ(ini.GetGroupView("/B"), nullptr);
}

// Listing a group's entries without its map gives what the map holds: names in order ignoring
// case, a name written again (in another case, in a later section) with its first spelling and
// its last value; and so it does once the map is built, and after edits.
TEST(IniStoreTest, EntriesListedWithoutTheMapAreTheMapsEntries) {
  MemoryIni ini;
  ini.LoadImage("[/A]\nb=1\nA=2\nB=3\n[/X]\n[/A]\na=4\nc=5\n", "entries.ini");
  using Entries = std::vector<std::pair<std::string, std::string>>;
  auto listed = [&ini](const std::string& group) {
    Entries entries;
    const bool exists =
        ini.ForEachGroupEntry(group, [&entries](const std::string& name, const std::string& value) {
          entries.emplace_back(name, value);
        });
    return exists ? entries : Entries{{"<none>", ""}};
  };
  const Entries expected = {{"A", "4"}, {"b", "3"}, {"c", "5"}};
  EXPECT_EQ(listed("/A"), expected);
  EXPECT_EQ(listed("/missing"), (Entries{{"<none>", ""}}));
  EXPECT_TRUE(listed("/X").empty());
  const IniEntryMap* map = ini.GetGroupProperty("/A");
  EXPECT_EQ(Entries(map->begin(), map->end()), expected);
  EXPECT_EQ(listed("/A"), expected);
  ini.SetKeyValue("/B", "z", "1");
  ini.SetKeyValue("/B", "Y", "2");
  ini.SetKeyValue("/B", "y", "3");
  EXPECT_EQ(listed("/B"),
            (std::vector<std::pair<std::string, std::string>>{{"Y", "3"}, {"z", "1"}}));
}

// Names fold ASCII letters only: the pairs of bytes one bit apart that are no letters stay
// apart, and so do bytes above ASCII, whatever a locale would fold.
TEST(IniStoreTest, NamesCompareIgnoringAsciiLetterCaseOnly) {
  EXPECT_TRUE(EqualNoCase("LogLevel", "lOGlEVEL"));
  EXPECT_EQ(cmp_nocase("LogLevel", "lOGlEVEL"), 0);
  EXPECT_FALSE(EqualNoCase("Log", "Logs"));
  for (const char* pair : {"@`", "[{", "\\|", "]}", "^~", "\xC4\xE4", "\xD6\xF6"}) {
    const std::string a(1, pair[0]);
    const std::string b(1, pair[1]);
    EXPECT_FALSE(EqualNoCase(a, b)) << a << b;
    EXPECT_NE(cmp_nocase(a, b), 0) << a << b;
  }
  EXPECT_LT(cmp_nocase("a", "B"), 0);
  EXPECT_GT(cmp_nocase("b", "A"), 0);
}

TEST(IniStoreTest, ConcurrentReadsSeeTheSameMaps) {
  std::string text;
  for (int g = 0; g < 200; ++g)
    text += "[/G" + std::to_string(g) + "]\nx=1\ne3=" + std::to_string(g * 3) + "\n";
  MemoryIni ini;
  ini.LoadImage(text, "threads.ini");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&ini, &mismatches, t] {
      for (int i = 0; i < 600; ++i) {
        int g = (i * 7 + t * 13) % 200;
        if (ValueOf(ini, "/G" + std::to_string(g), "E3") != std::to_string(g * 3)) ++mismatches;
        if (i % 200 == 0 && GroupNames(ini).size() != 200) ++mismatches;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  // The map handed out stays the same object and follows later changes.
  const IniEntryMap* entries = ini.GetGroupProperty("/G1");
  ini.SetKeyValue("/G1", "e9", "nine");
  EXPECT_EQ(ini.GetGroupProperty("/G1"), entries);
  EXPECT_EQ(entries->at("E9"), "nine");
}

}  // namespace
