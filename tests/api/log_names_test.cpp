// The library's logging names live in zor::qel: a program with a LogRecord of its own builds and
// logs beside them, and programs linked against 3.0.0 still find the functions it exported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The program's own record, declared before the library's headers as a program's header would be.
struct LogRecord {
  int level = 0;
  std::string message;
};

#include "api_support.h"

namespace {

TEST(LogNames, AProgramsOwnLogRecordLivesBesideTheLibrarys) {
  std::vector<LogRecord> own;
  zor::qel::SetLogSink([&](const zor::qel::LogRecord& record) {
    own.push_back(LogRecord{record.severity, record.function + ": " + record.text});
  });
  api_test::StoreFile store("[/A]\n");
  const QELConnection connection = api_test::Connect(store);
  EXPECT_EQ(api_test::ErrorOf([&] { QELRBKey("/A", connection).GetValue("x"); }).Code(), 160);
  zor::qel::SetLogSink({});
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0].level, 3);
  EXPECT_EQ(own[0].message.rfind("QELRBKey::GetValue: ZORKVA0603E", 0), 0u) << own[0].message;
}

}  // namespace
