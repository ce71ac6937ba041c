// Tests of the small platform modules: wildcard matching, messages, versions, tokenizer, values,
// log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clog_msg.h"
#include "message.h"
#include "os_tokenizer.h"
#include "qel_error.h"
#include "qel_rb_value.h"
#include "version_spec.h"
#include "wildcard.h"

namespace {

bool Matches(const std::string& pattern, const std::string& text) {
  return WildcardString(pattern, false).Match(text, 0, std::string::npos);
}

TEST(Wildcard, MatchesWholeNamesWithStarsQuestionMarksAndClasses) {
  EXPECT_TRUE(Matches("*", ""));
  EXPECT_TRUE(Matches("a*", "ab"));
  EXPECT_FALSE(Matches("a*", "ba"));
  EXPECT_TRUE(Matches("a?c", "abc"));
  EXPECT_FALSE(Matches("a?c", "ac"));
  EXPECT_FALSE(Matches("abc", "abcd"));
  EXPECT_TRUE(Matches("*_rep", "dpc_rep"));
  EXPECT_TRUE(Matches("[a-c]x", "bx"));
  EXPECT_FALSE(Matches("[!a-c]x", "bx"));
  EXPECT_TRUE(Matches("[^a-c]x", "dx"));
  EXPECT_TRUE(Matches("a\\*", "a*"));
  EXPECT_FALSE(Matches("a\\*", "ab"));
  EXPECT_TRUE(Matches("[ab", "[ab"));  // an unclosed class is literal text
  EXPECT_FALSE(Matches("", "a"));
  EXPECT_TRUE(Matches("", ""));
  EXPECT_TRUE(WildcardString("AB*", true).Match("abc", 0, std::string::npos));
  EXPECT_TRUE(WildcardString("b*", false).Match("abc", 1, std::string::npos));
}

TEST(Wildcard, PathologicalPatternsFinishQuickly) {
  // Exponential backtracking would never finish on this input.
  const std::string text(20000, 'a');
  EXPECT_FALSE(Matches("a*a*a*a*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(Matches("a*a*a*a*a*a*a*a*a*a*", text));
}

TEST(Message, PlacesArgumentsAndStartsWithTheId) {
  std::string text = Message("")["ZORKVA0533E"] << "bob"
                                                << "/etc/x.ini"
                                                << "2026-01-02"
                                                << "03:04:05";
  EXPECT_EQ(text.rfind("ZORKVA0533E ", 0), 0u);
  EXPECT_NE(text.find("bob"), std::string::npos);
  EXPECT_NE(text.find("/etc/x.ini"), std::string::npos);
  EXPECT_NE(text.find("2026-01-02 03:04:05"), std::string::npos);
  std::string unknown = Message("")["NOSUCHID"];
  EXPECT_EQ(unknown, "NOSUCHID");
  for (const char* id :
       {"ZORKVA0551I", "ZORKVA0532E", "ZORKVA0601E", "ZORKVA0602E", "ZORKVA0603E", "ZORKVA0607E",
        "ZORKVA0610E", "ZORKVA1112E", "ZORKVA1113E", "ZORKVA1114E"}) {
    std::string catalogued = Message("")[id];
    EXPECT_EQ(catalogued.rfind(std::string(id) + " ", 0), 0u) << id;
  }
}

TEST(VersionSpec, ComponentsArePresentOnlyWhenNumeric) {
  QelVr_VersionSpec full = QelVr_VersionSpecHelper::parseVersion("9.0.21.100");
  EXPECT_EQ(full.major, 9);
  EXPECT_EQ(full.minor, 0);
  EXPECT_EQ(full.release, 21);
  EXPECT_EQ(full.build, 100);
  QelVr_VersionSpec partial = QelVr_VersionSpecHelper::parseVersion("9.x.1");
  EXPECT_EQ(partial.major, 9);
  EXPECT_FALSE(partial.minor);
  EXPECT_FALSE(partial.release);
  EXPECT_FALSE(QelVr_VersionSpecHelper::parseVersion("").major);
  EXPECT_FALSE(QelVr_VersionSpecHelper::parseVersion("v9.0").major);
}

TEST(Tokenizer, KeepsEmptyPieces) {
  os_tokenizer tokenizer;
  tokenizer.separators("/");
  EXPECT_EQ(tokenizer.tokenize("host:8443/store.ini"),
            (std::vector<std::string>{"host:8443", "store.ini"}));
  EXPECT_EQ(tokenizer.tokenize("a//b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(tokenizer.tokenize(""), (std::vector<std::string>{""}));
  tokenizer.separators("=");
  EXPECT_EQ(tokenizer.tokenize("(repositoryname=R1)"),
            (std::vector<std::string>{"(repositoryname", "R1)"}));
}

TEST(Value, SingleStringsAreOneElementListsAndEmptyTextIsEmpty) {
  EXPECT_EQ(QELRBValue("abc").Elements(), (std::vector<std::string>{"abc"}));
  EXPECT_TRUE(QELRBValue("").Empty());
  EXPECT_EQ(QELRBValue(""), QELRBValue());
  const std::list<QELRBValue> list = QELRBValue({"one", "two"});
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::string(list.front()), "one");
  EXPECT_EQ(QELRBValue(list), QELRBValue({"one", "two"}));
  // A one-element list of the empty string keeps its element.
  EXPECT_EQ(QELRBValue(std::list<std::string>{""}).Size(), 1u);
  EXPECT_TRUE(QELRBValue("ant") < QELRBValue("bee"));
  EXPECT_TRUE(QELRBValue("a") < QELRBValue({"a", "b"}));
  EXPECT_EQ(std::string(QELRBValue({"x", "y"})), "x, y");
}

TEST(Log, RecordsReachTheSinkWithSeverityAndText) {
  std::vector<LogRecord> records;
  SetLogSink([&](const LogRecord& record) { records.push_back(record); });
  SetTraceEnabled(false);
  {
    CLogMsg probe("F", "m", kLogTrace);
    EXPECT_FALSE(probe.IsEnable());
  }
  CLogMsg("QELRBKey::SetValue", "rb_key", kLogTrace) << kLogError << "text " << 42 << flush;
  CLogMsg(nullptr, nullptr, kLogTrace) << "unflushed";  // dropped: never flushed
  SetTraceEnabled(true);
  EXPECT_TRUE(CLogMsg("F", "m", kLogTrace).IsEnable());
  SetTraceEnabled(false);
  SetLogSink({});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "QELRBKey::SetValue");
  EXPECT_EQ(records[0].module, "rb_key");
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, "text 42");
}

TEST(Errors, LogicalErrorsAreErrorsWithANonZeroCode) {
  try {
    throw QELLogicalError("Attempt to dereference null pointer", "file", 7);
  } catch (const QELError& error) {
    EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
    EXPECT_STREQ(error.what(), "Attempt to dereference null pointer");
    EXPECT_NE(error.Code(), 0);
    EXPECT_EQ(error.Line(), 7);
  }
}

}  // namespace
