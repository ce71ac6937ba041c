// Tests of the copy-on-write pointer, the value map and the cursor's end error.
#include <gtest/gtest.h>

#include <vector>

#include "qel_error.h"
#include "qel_imp_pointer.h"
#include "qel_iterator.h"
#include "qel_log.h"
#include "qel_value_map.h"

namespace {

struct Counted {
  explicit Counted(int v) : value(v) {}
  virtual ~Counted() = default;
  int value;
};

int clones = 0;
int destroys = 0;

struct CountingLifeMgr {
  Counted* Clone(Counted* p) const {
    ++clones;
    return new Counted(*p);
  }
  void Destroy(Counted*& p) const {
    if (p != nullptr) ++destroys;
    delete p;
    p = nullptr;
  }
};

using CountedPointer = qel_imp_pointer<Counted*, CountingLifeMgr>;

class RecordLog {
 public:
  RecordLog() {
    SetLogSink([this](const LogRecord& record) { records.push_back(record); });
  }
  ~RecordLog() { SetLogSink({}); }
  std::vector<LogRecord> records;
};

TEST(BackendPointer, ReadsShareAndTheFirstWriteThroughASharerClonesOnce) {
  clones = destroys = 0;
  {
    CountedPointer a(new Counted(1));
    CountedPointer b(a);
    const CountedPointer& read_only = b;
    EXPECT_EQ(read_only->value, 1);
    EXPECT_EQ(a.GetStorage(), b.GetStorage());
    EXPECT_EQ(clones, 0);

    a->value = 2;  // access for change through a shared pointer
    EXPECT_EQ(clones, 1);
    EXPECT_NE(a.GetStorage(), b.GetStorage());
    EXPECT_EQ(read_only->value, 1);
    a->value = 3;  // now unshared
    b->value = 4;
    EXPECT_EQ(clones, 1);

    CountedPointer& same = a;
    a = same;
    CountedPointer c(a);
    a = c;  // assigning a sharer keeps the object alive and unduplicated
    EXPECT_EQ(static_cast<const CountedPointer&>(a)->value, 3);
    EXPECT_EQ(clones, 1);
    EXPECT_EQ(destroys, 0);
  }
  EXPECT_EQ(destroys, 2);
}

TEST(BackendPointer, EmptyPointerAccessLogsAndThrowsTheMisuseError) {
  RecordLog log;
  CountedPointer empty;
  const CountedPointer& read_only = empty;
  for (int write = 0; write < 2; ++write) {
    try {
      if (write) {
        empty->value = 1;
      } else {
        (void)read_only->value;
      }
      FAIL() << "no exception";
    } catch (const QELLogicalError& error) {
      EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
      EXPECT_EQ(error.File(),
                "qel_cfg\\request_broker/security/implementation/inc/qel_imp_pointer");
    }
  }
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].function, "");
  EXPECT_EQ(log.records[0].module, "");
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_EQ(log.records[0].text, "Attempt to dereference null pointer");
  CountedPointer copy(empty);
  copy = empty;  // copying and assigning empty pointers never fail
}

TEST(BackendValueMap, LooksUpIgnoringCaseAndKeepsTheFirstName) {
  QELValueMap map;
  map.Set({"Alpha", "1"});
  map.Set({"beta", "2"});
  map.Set({"ALPHA", "3"});
  ASSERT_EQ(map.Size(), 2u);
  EXPECT_EQ(std::string(map.Begin()->first), "Alpha");
  EXPECT_EQ(map.Begin()->second, QELRBValue("3"));
  EXPECT_EQ(map.Find("alpha"), map.Begin());

  map.Remove("gamma");
  EXPECT_EQ(map.Size(), 2u);
  try {
    map.Get("gamma");
    FAIL() << "no exception";
  } catch (const QELLogicalError& error) {
    EXPECT_EQ(error.What(), "no value");
    EXPECT_EQ(error.File(), "qel_cfg\\configuration/inc/qel_value_map");
  }

  std::unique_ptr<QELValueMap> clone(map.Clone());
  clone->Set({"BETA", "changed"});
  clone->Remove("alpha");
  EXPECT_EQ(map.Get("Beta"), QELRBValue("2"));
  EXPECT_EQ(map.Size(), 2u);
  EXPECT_EQ(clone->Size(), 1u);
}

TEST(BackendCursor, StepPastTheEndThrowsTheBareIdWithoutARecord) {
  RecordLog log;
  qel_iterator<int> cursor;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      ++cursor;
      FAIL() << "no exception";
    } catch (const QELError& error) {
      EXPECT_EQ(error.What(), "ZORKVA0610E");
      EXPECT_EQ(error.Code(), 167);
      EXPECT_EQ(error.Facility(), 12);
      EXPECT_EQ(error.File(), "qel_cfg\\configuration/inc/qel_iterator");
    }
  }
  EXPECT_TRUE(log.records.empty());
}

}  // namespace
