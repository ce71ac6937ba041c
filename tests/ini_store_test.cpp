// Tests of the INI store's image: parsing, layout-preserving edits, bad files, group order and
// iteration, the change journal's merge, and concurrent reads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ini.h"
#include "qel_log.h"

namespace {

// A store whose file is a string: reaches the protected image operations.
class MemoryIni : public Ini {
 public:
  using Ini::ClearJournal;
  using Ini::HasChanges;
  using Ini::LoadImage;
  using Ini::MergeOnto;
  using Ini::SerializeImage;

  void FlushIniDataToFile(const std::string&) override {
    written = SerializeImage();
    ClearJournal();
  }
  std::string written;
};

std::string Value(const Ini& ini, const std::string& group, const std::string& key) {
  const IniEntryMap* entries = ini.GetGroupProperty(group);
  if (entries == nullptr) return "<no group>";
  auto found = entries->find(key);
  return found == entries->end() ? "<no entry>" : found->second;
}

std::vector<std::string> Names(const Ini& ini) {
  std::vector<std::string> names;
  for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) names.push_back((*it).GetName());
  return names;
}

// Collects the error records written while it lives.
class LogCapture {
 public:
  LogCapture() {
    SetLogSink([this](const LogRecord& record) { records.push_back(record); });
  }
  ~LogCapture() { SetLogSink({}); }
  std::vector<LogRecord> records;
};

TEST(IniStoreTest, ParsesEveryKindOfLineAndWritesItBackUnchanged) {
  const std::string text =
      "\xEF\xBB\xBF; heading comment\r\n"
      "top = level\r\n"
      "\r\n"
      "[/A/B]\r\n"
      "  Name  =  spaced value  \r\n"
      "# a comment\r\n"
      "list=one\x1Btwo\x1B"
      "three\r\n"
      "empty=\r\n"
      "quoted=\"John \\\"J\\\" Smith\"\r\n"
      "path=\"C:\\dir\"\r\n"
      "\"a=b\" = x\r\n"
      "[ spaced ]\r\n"
      "[\"line\\nbreak\"]\r\n"
      "k=v";
  MemoryIni ini;
  ini.LoadImage(text, "golden.ini");
  EXPECT_EQ(ini.SerializeImage(), text);
  EXPECT_FALSE(ini.HasChanges());
  EXPECT_EQ(Names(ini), (std::vector<std::string>{"", " spaced ", "/A/B", "line\nbreak"}));
  EXPECT_EQ(Value(ini, "", "TOP"), "level");
  EXPECT_EQ(Value(ini, "/A/B", "name"), "spaced value");
  EXPECT_EQ(Value(ini, "/A/B", "list"), "one\x1Btwo\x1Bthree");
  EXPECT_EQ(Value(ini, "/A/B", "empty"), "");
  EXPECT_EQ(Value(ini, "/A/B", "quoted"), "John \"J\" Smith");
  EXPECT_EQ(Value(ini, "/A/B", "path"), "\"C:\\dir\"");
  EXPECT_EQ(Value(ini, "/A/B", "a=b"), "x");
  EXPECT_EQ(Value(ini, "line\nbreak", "k"), "v");
  EXPECT_EQ(ini.GetGroupProperty("/A/B")->size(), 6u);
  EXPECT_EQ(ini.GetGroupProperty("/missing"), nullptr);
}

TEST(IniStoreTest, TheBundledSampleStoreLoadsAndWritesBackUnchanged) {
  std::ifstream file(QEL_SOURCE_DIR "/examples/sample.ini", std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  MemoryIni ini;
  ini.LoadImage(bytes.str(), "sample.ini");
  EXPECT_EQ(ini.GroupCount(), 354u);
  EXPECT_EQ(Value(ini, "/ZOR_Software/qel4ds/Config", "Product-Ver"), "9.0.21.100");
  EXPECT_EQ(Value(ini, "/ZOR_Software/qel4ds/Config", "languages"),
            "en\x1B"
            "de\x1B"
            "fr\x1B"
            "ja\x1B");
  EXPECT_EQ(ini.SerializeImage(), bytes.str());
}

TEST(IniStoreTest, EditsKeepCommentsLayoutAndUntouchedLines) {
  MemoryIni ini;
  ini.LoadImage(
      "; store\n"
      "[/A]\n"
      "one = 1   \n"
      "two=2\n"
      "\n"
      "; about B\n"
      "[/B]\n"
      "gone=x\n"
      "[/C]\n"
      "three=3",
      "edit.ini");
  ini.SetKeyValue("/A", "ONE", "uno");
  ini.SetKeyValue("/A", "new", " padded ");
  ini.EraseGroup("/B");
  ini.SetKeyValue("/C", "four", "4");
  ini.SetKeyValue("/D", "k", "\"q\"");
  ini.InsertNewGroup("/E");
  ini.EraseKey("/A", "two");
  EXPECT_TRUE(ini.HasChanges());
  EXPECT_EQ(ini.SerializeImage(),
            "; store\n"
            "[/A]\n"
            "one = uno\n"
            "new=\" padded \"\n"
            "\n"
            "; about B\n"
            "[/C]\n"
            "three=3\n"
            "four=4\n"
            "[/D]\n"
            "k=\"\\\"q\\\"\"\n"
            "[/E]\n");
  EXPECT_EQ(Value(ini, "/A", "one"), "uno");
  EXPECT_EQ(Value(ini, "/A", "new"), " padded ");
  // A replaced entry keeps the name as first written.
  EXPECT_EQ(ini.GetGroupProperty("/A")->begin()->first, "new");
  EXPECT_EQ(ini.GetGroupProperty("/A")->rbegin()->first, "one");
  EXPECT_FALSE(ini.InsertNewGroup("/E"));
  EXPECT_EQ(Names(ini), (std::vector<std::string>{"/A", "/C", "/D", "/E"}));

  MemoryIni reread;
  reread.LoadImage(ini.SerializeImage(), "edit.ini");
  EXPECT_EQ(Value(reread, "/D", "k"), "\"q\"");
  EXPECT_EQ(Value(reread, "/A", "new"), " padded ");
}

TEST(IniStoreTest, NewLinesTakeTheFileLineEnd) {
  MemoryIni ini;
  ini.LoadImage("[/A]\r\nx=1\r\n", "crlf.ini");
  ini.SetKeyValue("/A", "y", "2");
  ini.SetKeyValue("/B", "z", "3");
  EXPECT_EQ(ini.SerializeImage(), "[/A]\r\nx=1\r\ny=2\r\n[/B]\r\nz=3\r\n");
}

TEST(IniStoreTest, RepeatedHeadersAndEntriesFormOneGroupAndLoseNoLine) {
  const std::string text =
      "lead=1\n"
      "[/A]\n"
      "k=first\n"
      "K=second\n"
      "[/B]\n"
      "b=1\n"
      "[/A]\n"
      "other=x\n"
      "[]\n"
      "tail=2\n";
  MemoryIni ini;
  ini.LoadImage(text, "repeat.ini");
  EXPECT_EQ(Names(ini), (std::vector<std::string>{"", "/A", "/B"}));
  EXPECT_EQ(Value(ini, "/A", "k"), "second");
  EXPECT_EQ(Value(ini, "/A", "other"), "x");
  EXPECT_EQ(Value(ini, "", "tail"), "2");
  EXPECT_EQ(ini.GetGroupProperty("/A")->begin()->first, "k");
  EXPECT_EQ(ini.SerializeImage(), text);

  ini.SetKeyValue("/A", "k", "third");
  ini.SetKeyValue("/A", "added", "y");
  EXPECT_EQ(ini.SerializeImage(),
            "lead=1\n[/A]\nk=first\nK=third\n[/B]\nb=1\n[/A]\nother=x\nadded=y\n[]\ntail=2\n");
  ini.EraseKey("/A", "K");
  ini.EraseGroup("");
  EXPECT_EQ(ini.SerializeImage(), "[/A]\n[/B]\nb=1\n[/A]\nother=x\nadded=y\n");
  ini.EraseGroup("/A");
  EXPECT_EQ(ini.SerializeImage(), "[/B]\nb=1\n");
}

TEST(IniStoreTest, BadLinesAreRejectedWithTheirLineAndTheOldImageStays) {
  MemoryIni ini;
  ini.LoadImage("[/Keep]\nk=v\n", "good.ini");
  struct Case {
    std::string text;
    long line;
    std::string reason;
  } cases[] = {
      {"[/A]\nk=v\njust words\n", 3, "neither a group header"},
      {"; c\r\n\r\n[/A\r\n", 3, "must end with ']'"},
      {"[/A] ; trailing\n", 1, "must end with ']'"},
      {"\xEF\xBB\xBFnoequals", 1, "neither a group header"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    try {
      ini.LoadImage(c.text, "/etc/bad.ini");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (int number) {
      EXPECT_EQ(number, kIniBadSyntax);
    }
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].severity, 3);
    EXPECT_EQ(log.records[0].function, "Ini::LoadImage");
    const std::string& message = log.records[0].text;
    EXPECT_NE(message.find("/etc/bad.ini, line " + std::to_string(c.line) + ": "),
              std::string::npos)
        << message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
  }
  EXPECT_EQ(ini.SerializeImage(), "[/Keep]\nk=v\n");
  EXPECT_EQ(Value(ini, "/Keep", "k"), "v");

  EXPECT_EQ(Ini::ExceptionNumberToString(kIniBadSyntax),
            "the INI file has a line that is not a group header, an entry, a comment or blank");
  EXPECT_EQ(Ini::ExceptionNumberToString(kIniFileNotFound), "the INI file does not exist");
  EXPECT_EQ(Ini::ExceptionNumberToString(99), "unknown INI store error");
  for (int number = kIniFileNotFound; number <= kIniRemoteFailed; ++number) {
    EXPECT_NE(Ini::ExceptionNumberToString(number), Ini::ExceptionNumberToString(0)) << number;
  }
}

TEST(IniStoreTest, GroupsRunInByteOrderAndPrefixesFormOneRange) {
  MemoryIni ini;
  ini.LoadImage("[/b]\n[/a/x]\n[/a]\n[/a-]\n[/A]\n[/a/y]\n[/ab]\n", "order.ini");
  EXPECT_EQ(Names(ini), (std::vector<std::string>{"/A", "/a", "/a-", "/a/x", "/a/y", "/ab", "/b"}));
  std::vector<std::string> under;
  for (IniGroupIterator it = ini.lower_bound("/a/"); it != ini.end(); ++it) {
    if ((*it).GetName().compare(0, 3, "/a/") != 0) break;
    under.push_back((*it).GetName());
  }
  EXPECT_EQ(under, (std::vector<std::string>{"/a/x", "/a/y"}));
  EXPECT_TRUE(ini.lower_bound("/c") == ini.end());
  EXPECT_EQ((*ini.lower_bound("/a/z")).GetName(), "/ab");
  std::list<std::string> names;
  ini.GetGroupNames(names);
  EXPECT_EQ(names.size(), 7u);
  EXPECT_EQ(names.front(), "/A");
  EXPECT_EQ(ini.GroupCount(), 7u);

  MemoryIni empty;
  EXPECT_TRUE(empty.begin() == empty.end());
  empty.LoadImage("; only a comment\n", "empty.ini");
  EXPECT_TRUE(empty.begin() == empty.end());
  EXPECT_TRUE(empty.lower_bound("/a") == empty.end());
  EXPECT_EQ(empty.GroupCount(), 0u);
}

TEST(IniStoreTest, IteratorResumesAfterItsGroupWhenGroupsComeAndGo) {
  MemoryIni ini;
  ini.LoadImage("[/a]\n[/b]\n[/c]\n[/d]\n[/e]\n", "walk.ini");
  std::vector<std::string> seen;
  IniGroupIterator it = ini.begin();
  IniGroupIterator copy = it;
  seen.push_back((*it).GetName());  // "/a"
  ini.EraseGroup("/a");
  ini.EraseGroup("/b");
  ini.InsertNewGroup("/bb");
  ++it;
  seen.push_back((*it).GetName());  // "/bb"
  ini.EraseGroup("/bb");            // the group the iterator stands on
  EXPECT_EQ((*it).GetProperties(), nullptr);
  ++it;
  seen.push_back((*it).GetName());  // "/c"
  ini.InsertNewGroup("/z");
  ini.EraseGroup("/d");
  for (++it; it != ini.end(); ++it) seen.push_back((*it).GetName());
  EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/bb", "/c", "/e", "/z"}));
  ++copy;
  EXPECT_EQ((*copy).GetName(), "/c");

  // Emptying the store under a standing iterator ends it.
  IniGroupIterator last = ini.lower_bound("/z");
  for (const std::string& name : std::vector<std::string>{"/c", "/e", "/z"}) ini.EraseGroup(name);
  ++last;
  EXPECT_TRUE(last == ini.end());
  // A reloaded image is a new set of groups too.
  ini.LoadImage("[/q]\n", "reload.ini");
  ++copy;
  EXPECT_EQ((*copy).GetName(), "/q");
}

TEST(IniStoreTest, GroupsAddedBeforeAndAfterTheFirstWalkKeepTheirOrder) {
  MemoryIni ini;
  ini.LoadImage("[/k050]\n[/k010]\nx=1\n", "grow.ini");
  std::set<std::string> expected{"/k050", "/k010"};
  // Enough groups to grow the name index several times, some erased, before any walk.
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "/k%03d", (i * 37) % 300);
    ini.InsertNewGroup(name);
    expected.insert(name);
    if (i % 3 == 0) {
      std::snprintf(name, sizeof(name), "/k%03d", (i * 11) % 300);
      ini.EraseGroup(name);
      expected.erase(name);
    }
  }
  EXPECT_EQ(ini.GroupCount(), expected.size());
  EXPECT_EQ(Names(ini), std::vector<std::string>(expected.begin(), expected.end()));
  // And after it, when the order is kept up to date in place.
  ini.EraseGroup("/k010");
  ini.InsertNewGroup("/k0105");
  ini.SetKeyValue("/a", "k", "v");
  expected.erase("/k010");
  expected.insert("/k0105");
  expected.insert("/a");
  EXPECT_EQ(Names(ini), std::vector<std::string>(expected.begin(), expected.end()));
  EXPECT_FALSE(ini.isGroupExist("/k010"));
  EXPECT_EQ(ini.GetGroupProperty("/k010"), nullptr);
  EXPECT_TRUE(ini.isGroupExist("/k0105"));
}

TEST(IniStoreTest, MergeReplaysTheJournalOnTheNewerFile) {
  MemoryIni ini;
  ini.LoadImage("[/A]\nshared=old\nmine=old\n[/B]\nb=1\n[/C]\nc=1\n", "merge.ini");
  ini.SetKeyValue("/A", "shared", "ours");
  ini.SetKeyValue("/N", "n", "new");
  ini.EraseKey("/A", "mine");
  ini.EraseGroup("/B");
  ini.InsertNewGroup("/Empty");
  ini.EraseKey("/A", "absent");  // not a change: not journalled

  // Another writer meanwhile changed the file.
  const std::string theirs =
      "; edited elsewhere\n[/A]\nshared=theirs\nmine=theirs\ntheir=1\n[/B]\nb=2\nb2=2\n[/T]\nt=1\n";
  ini.MergeOnto(theirs, "merge.ini");
  EXPECT_EQ(ini.SerializeImage(),
            "; edited elsewhere\n[/A]\nshared=ours\ntheir=1\n[/T]\nt=1\n[/N]\nn=new\n[/Empty]\n");
  EXPECT_TRUE(ini.HasChanges());

  // A newer file that does not parse changes nothing and keeps the journal.
  {
    LogCapture quiet;
    EXPECT_THROW(ini.MergeOnto("[/A\n", "merge.ini"), int);
  }
  EXPECT_EQ(Value(ini, "/A", "shared"), "ours");
  ini.MergeOnto("[/A]\nshared=again\n", "merge.ini");
  EXPECT_EQ(ini.SerializeImage(), "[/A]\nshared=ours\n[/N]\nn=new\n[/Empty]\n");

  ini.FlushIniDataToFile("");
  EXPECT_FALSE(ini.HasChanges());
  ini.MergeOnto("[/A]\nshared=later\n", "merge.ini");
  EXPECT_EQ(ini.SerializeImage(), "[/A]\nshared=later\n");
}

TEST(IniStoreTest, ConcurrentReadsSeeTheSameMaps) {
  std::string text;
  for (int g = 0; g < 200; ++g) {
    text += "[/G" + std::to_string(g) + "]\n";
    for (int e = 0; e < 5; ++e)
      text += "e" + std::to_string(e) + "=" + std::to_string(g * e) + "\n";
  }
  MemoryIni ini;
  ini.LoadImage(text, "threads.ini");
  std::vector<const IniEntryMap*> first(200, nullptr);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&ini, &mismatches, t] {
      for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200; ++i) {
          int g = (i * 7 + t * 13) % 200;
          const IniEntryMap* entries = ini.GetGroupProperty("/G" + std::to_string(g));
          if (entries == nullptr || entries->size() != 5 ||
              entries->at("E3") != std::to_string(g * 3)) {
            ++mismatches;
          }
        }
        int count = 0;
        for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) ++count;
        if (count != 200) ++mismatches;
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

TEST(IniStoreTest, CaseInsensitiveComparisons) {
  EXPECT_EQ(cmp_nocase("RepositoryName", "repositoryname"), 0);
  EXPECT_LT(cmp_nocase("abc", "ABD"), 0);
  EXPECT_GT(cmp_nocase("abcd", "ABC"), 0);
  EXPECT_TRUE(StrCmpInSensitive()("a", "B"));
  EXPECT_FALSE(StrCmpInSensitive()("B", "a"));
}

}  // namespace
