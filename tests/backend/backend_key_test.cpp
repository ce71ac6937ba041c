// Tests of the copy-on-write pointer, the value map, and of the INI key's values (reads, writes,
// the flush rule) and path checks. Adding and deleting elements is the writer model's check.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_imp_pointer.h>
#include "backend_store.h"
#include "qel_ini_key.h"

namespace {

const std::string kEsc = "\x1B";

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
    CountedPointer moved(std::move(c));  // takes c's share: c is empty, nothing is copied
    EXPECT_TRUE(c.IsNull());
    a = std::move(moved);  // a lets go of its own share of that same object, which lives on
    EXPECT_TRUE(moved.IsNull());
    EXPECT_EQ(Read(a), 3);
    EXPECT_EQ(clones, 1);
    EXPECT_EQ(destroys, 0);
    a = CountedPointer(new int(5));  // the last share of the old object goes with it
    EXPECT_EQ(destroys, 1);
  }
  EXPECT_EQ(destroys, 3);
}

TEST(BackendValueMap, NamesKeepTheirFirstSpellingAndPlaceAndClonesAreIndependent) {
  QELValueMap map;
  for (const char* name : {"Alpha", "beta", "Gamma"}) map.Set({name, QELRBValue(name)});
  map.Set({"ALPHA", QELRBValue("new")});
  map.Remove("absent");
  EXPECT_EQ(map.Size(), 3u);
  EXPECT_EQ(static_cast<const std::string&>(map.Begin()->first), "Alpha");
  EXPECT_EQ(map.Get("alpha"), QELRBValue("new"));
  EXPECT_THROW(map.Get("absent"), QELLogicalError);
  std::unique_ptr<QELValueMap> clone(map.Clone());
  map.Remove("BETA");
  map.Set({"delta", QELRBValue("d")});
  std::vector<std::string> names;
  for (auto it = map.Begin(); it != map.End(); ++it) names.push_back(it->first);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Gamma", "delta"}));
  EXPECT_EQ(clone->Size(), 3u);
  EXPECT_NE(clone->Find("beta"), clone->End());
  EXPECT_EQ(clone->Find("delta"), clone->End());
}

class BackendIniKey : public ::testing::Test {
 protected:
  void SetUp() override {
    store().AddGroup("/A", {{"List", "ant" + kEsc + "cat" + kEsc + "eel" + kEsc}, {"Name", "x"}});
  }
  MemoryIni& store() { return connection.Memory(); }
  std::string Entry(const std::string& name) { return store().GetGroupProperty("/A")->at(name); }

  MemoryIniConnection connection;
};

TEST_F(BackendIniKey, ReadsAndSetsValuesUnderTheStoredName) {
  QELIniKey key("/A", connection);
  QELIniKey copy(key);
  QELValueItem list("LIST", "");
  EXPECT_TRUE(key.GetValue(list).Ok());
  EXPECT_EQ(std::string(list.first) + "=" + std::string(list.second), "List=ant, cat, eel");
  QELValueItem missing("nope", "");
  const QELStatus status = key.GetValue(missing);
  EXPECT_EQ(status.code, 160);
  EXPECT_TRUE(EndsWith(status.message, "(nope) [160]\t: /A")) << status.message;

  EXPECT_TRUE(key.SetValue({"NAME", QELRBValue({"p", "q"})}).Ok());
  EXPECT_EQ(Entry("name"), "p" + kEsc + "q" + kEsc);
  QELValueItem name("name", "");
  copy.GetValue(name);
  EXPECT_EQ(name.second, QELRBValue("x"));  // the copy keeps its own cache
  EXPECT_EQ(store().flushes, 1);
}

// Keys on one group share its decoded values until one of them writes; each keeps the values it
// loaded, and a key opened later reads the group as written.
TEST_F(BackendIniKey, KeysShareTheValuesTheyLoadedUntilOneWrites) {
  auto map_of = [](QELIniKey& key) {
    QELValueMapPointer values;
    key.GetValues(values);
    const QELValueMapPointer& shared = values;
    return shared.operator->();
  };
  auto value_of = [](QELIniKey key, const std::string& name) {
    QELValueItem item(name, "");
    return key.GetValue(item).Ok() ? std::string(item.second) : "<none>";
  };
  QELIniKey writer("/A", connection);
  QELIniKey reader("/A", connection);
  EXPECT_EQ(map_of(writer), map_of(reader));
  EXPECT_TRUE(writer.SetValue({"name", QELRBValue("y")}).Ok());
  EXPECT_NE(map_of(writer), map_of(reader));
  EXPECT_EQ(value_of(writer, "name"), "y");
  EXPECT_EQ(value_of(reader, "name"), "x");
  QELIniKey later("/A", connection);
  EXPECT_EQ(value_of(later, "name"), "y");
  EXPECT_TRUE(writer.DeleteValue({"List", QELRBValue()}).Ok());
  EXPECT_EQ(value_of(QELIniKey("/A", connection), "List"), "<none>");
  EXPECT_EQ(value_of(later, "List"), "ant, cat, eel");
  EXPECT_TRUE(writer.AddValue({"List", QELRBValue("fox")}).Ok());
  EXPECT_EQ(value_of(QELIniKey("/A", connection), "list"), "fox");
}

TEST_F(BackendIniKey, KeysMadeInsideATransactionNeverFlushByThemselves) {
  QELIniKey before("/A", connection);
  connection.BeginTransaction();
  QELIniKey inside("/A", connection);
  inside.SetValue({"v", "1"});
  inside.AddValue({"w", "2"});
  inside.DeleteValue({"v", QELRBValue()});
  EXPECT_EQ(store().flushes, 0);
  before.SetValue({"v", "1"});
  before.AddValue({"w2", "2"});
  EXPECT_EQ(store().flushes, 2);
  connection.Commit();
  EXPECT_EQ(store().flushes, 3);
  inside.SetValue({"v", "3"});
  EXPECT_EQ(store().flushes, 3);
}

TEST_F(BackendIniKey, ChangeKeyRefusesAGroupNameThatIsNoPath) {
  LogCapture log;
  QELIniKey key("/A", connection);
  store().AddGroup("A/B");
  const QELStatus bad = key.ChangeKey("A/B");
  EXPECT_EQ(bad.code, 164);
  EXPECT_EQ(bad.message.rfind("ZORKVA0607E", 0), 0u);
  EXPECT_TRUE(EndsWith(bad.message, " [164] : A/B")) << bad.message;
  EXPECT_EQ(key.GetKeyPath(), "/A");
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].function + "|" + log.records[0].module, "QELKey::ChangeKey|key");
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_EQ(log.records[0].text, bad.message);
}

}  // namespace
