// Tests of the copy-on-write pointer, the value map and the cursor's end error.
#include <gtest/gtest.h>

#include <memory>

#include "backend_store.h"
#include "qel_error.h"
#include "qel_imp_pointer.h"
#include "qel_value_map.h"

namespace {

int clones = 0;
int destroys = 0;

struct CountingLifeMgr {
  int* Clone(int* p) const {
    ++clones;
    return new int(*p);
  }
  void Destroy(int*& p) const {
    destroys += p != nullptr;
    delete p;
    p = nullptr;
  }
};
using CountedPointer = qel_imp_pointer<int*, CountingLifeMgr>;
int Read(const CountedPointer& p) { return *p.operator->(); }

TEST(BackendPointer, ReadsShareAndTheFirstWriteThroughASharerClonesOnce) {
  clones = destroys = 0;
  {
    CountedPointer a(new int(1));
    CountedPointer b(a);
    EXPECT_EQ(Read(b), 1);
    EXPECT_EQ(clones, 0);
    *a.operator->() = 2;  // access for change through a shared pointer
    *a.operator->() = 3;
    *b.operator->() = 4;  // b is no longer shared
    EXPECT_EQ(clones, 1);
    EXPECT_EQ(Read(a) * 10 + Read(b), 34);
    CountedPointer& same = a;
    a = same;
    CountedPointer c(a);
    a = c;  // assigning a sharer keeps the object alive and unduplicated
    EXPECT_EQ(Read(a), 3);
    EXPECT_EQ(clones, 1);
    EXPECT_EQ(destroys, 0);
  }
  EXPECT_EQ(destroys, 2);
}

TEST(BackendPointer, EmptyPointerAccessLogsAndThrowsTheMisuseError) {
  LogCapture log;
  CountedPointer empty;
  for (bool write : {false, true}) {
    try {
      write ? (void)empty.operator->() : (void)Read(empty);
      FAIL() << "no exception";
    } catch (const QELLogicalError& error) {
      EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
      EXPECT_EQ(error.File(),
                "qel_cfg\\request_broker/security/implementation/inc/qel_imp_pointer");
    }
  }
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].function + log.records[0].module, "");
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_EQ(log.records[0].text, "Attempt to dereference null pointer");
}

TEST(BackendPointer, ValueMapsFindIgnoringCaseAndCloneIndependently) {
  QELValueMap map;
  map.Set({"Alpha", "1"});
  map.Set({"ALPHA", "3"});
  ASSERT_EQ(map.Size(), 1u);
  EXPECT_EQ(std::string(map.Find("alpha")->first), "Alpha");
  map.Remove("gamma");
  try {
    map.Get("gamma");
    FAIL() << "no exception";
  } catch (const QELLogicalError& error) {
    EXPECT_EQ(error.What(), "no value");
    EXPECT_EQ(error.File(), "qel_cfg\\configuration/inc/qel_value_map");
  }
  std::unique_ptr<QELValueMap> clone(map.Clone());
  clone->Set({"alpha", "changed"});
  EXPECT_EQ(map.Get("alpha"), QELRBValue("3"));
}

}  // namespace
