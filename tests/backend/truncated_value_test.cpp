// Values whose stored text holds bytes after its last 0x1B (a list edited by hand without its
// final separator, or a quoted "\x1b" inside a string): loading the key names each in a log
// record, programs find them, and element changes refuse them, also on a replay onto a newer file.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "local_store_test.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

constexpr long kUnstorable = static_cast<long>(zor::qel::ErrorCode::kUnstorableValue);

class TruncatedValueTest : public LocalStoreTest {
 protected:
  TruncatedValueTest()
      : LocalStoreTest(
            "[/K]\nhand=x\x1b"
            "secret-tail\nquoted=\"a\\x1bsecret-b\"\nlist=a\x1b"
            "b\x1b\n") {}
};

TEST_F(TruncatedValueTest, LoadingTheKeyNamesEachAndProgramsFindThem) {
  LogCapture log;
  const QELConnection connection = Login();
  QELRBKey key("/K", connection);
  std::list<std::string> named;
  for (const zor::qel::LogRecord& record : log.records) {
    EXPECT_EQ(record.text.find("secret"), std::string::npos) << record.text;
    for (const char* name : {"hand", "quoted", "list"}) {
      if (record.severity == 3 &&
          record.text.find("value " + std::string(name) + " of key /K") != std::string::npos) {
        named.push_back(name);
      }
    }
  }
  EXPECT_EQ(named, (std::list<std::string>{"hand", "quoted"}));

  EXPECT_EQ(key.GetTruncatedValues(), (std::list<std::string>{"hand", "quoted"}));
  EXPECT_EQ(key.GetValue("hand").Elements(), std::vector<std::string>{"x"});
  try {
    key.RefuseTruncatedValues();
    ADD_FAILURE() << "no refusal";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kUnstorable);
    EXPECT_EQ(error.What().find("ZORKVA0611E The value hand "), 0u) << error.What();
  }
  // A whole new value replaces one knowingly.
  key.SetValue("hand", QELRBValue({"x", "y"}));
  key.DeleteValue("quoted");
  EXPECT_TRUE(key.GetTruncatedValues().empty());
  EXPECT_NO_THROW(key.RefuseTruncatedValues());
}

// The other writer hand-edits the list after this one loaded it: the replayed element edit
// refuses, the flush fails naming the value, and the file keeps every byte.
TEST_F(TruncatedValueTest, AReplayedElementEditRefusesANewerTruncatedText) {
  for (const bool add : {true, false}) {
    SCOPED_TRACE(add ? "add" : "delete");
    WriteWholeFile(path_,
                   "[/K]\nlist=a\x1b"
                   "b\x1b\n");
    QELConnection connection = Login();
    connection.BeginTransaction();
    QELRBKey key("/K", connection);
    if (add) {
      key.AddValue("list", QELRBValue("c"));
    } else {
      key.DeleteValue("list", QELRBValue("a"));
    }
    const std::string newer =
        "[/K]\nlist=a\x1b"
        "b\x1b"
        "hand-typed\n";
    WriteWholeFile(path_, newer);
    try {
      connection.Commit();
      ADD_FAILURE() << "the commit succeeded: " << ReadWholeFile(path_);
    } catch (const QELError& error) {
      EXPECT_EQ(error.Code(), kUnstorable);
      EXPECT_NE(error.What().find("value list of key /K"), std::string::npos) << error.What();
    }
    EXPECT_EQ(ReadWholeFile(path_), newer);
  }
}

}  // namespace
