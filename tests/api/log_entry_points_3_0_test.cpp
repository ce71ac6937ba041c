// A program written for release 3.0 includes <zor_qel_rb_key.h> and logs through the names it
// declared outside any namespace; they still compile (deprecated) and act on the same sink and
// trace switch as their zor::qel namesakes, through the entry points 3.0.0 exported.
#include <zor_qel_rb_key.h>

#include <gtest/gtest.h>

#include <vector>

#include "api_support.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

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
