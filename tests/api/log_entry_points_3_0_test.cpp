// A program linked against release 3.0.0 calls the logging functions outside any namespace, with
// the record type 3.0.0 declared there; the library still exports them, and they act on the same
// sink and trace switch as their zor::qel namesakes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "api_support.h"

// What the 3.0.0 header declared, as such a program saw it.
struct LogRecord {
  std::string function;
  std::string module;
  int severity = 1;
  std::string text;
};
void SetLogSink(std::function<void(const LogRecord&)> sink);
void SetTraceEnabled(bool enabled);
bool IsTraceEnabled();

namespace {

TEST(LogEntryPoints30, ForwardToTheFunctionsOfTheNamespace) {
  SetTraceEnabled(true);
  EXPECT_TRUE(zor::qel::IsTraceEnabled());
  zor::qel::SetTraceEnabled(false);
  EXPECT_FALSE(IsTraceEnabled());

  std::vector<LogRecord> records;
  SetLogSink([&](const LogRecord& record) { records.push_back(record); });
  api_test::StoreFile store("[/A]\n");
  const QELConnection connection = api_test::Connect(store);
  const QELError error = api_test::ErrorOf([&] { QELRBKey("/A", connection).GetValue("x"); });
  SetLogSink({});
  // The default sink is back: nothing more reaches the program's.
  api_test::ErrorOf([&] { QELRBKey("/A", connection).GetValue("y"); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function + "|" + records[0].module + "|" + records[0].text,
            "QELRBKey::GetValue|rb_key|" + error.What());
  EXPECT_EQ(records[0].severity, 3);
}

}  // namespace
