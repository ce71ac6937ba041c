// Range reads in pages, fetched ahead while the pages before are parsed: whatever the keys' bytes,
// their number and the page size, a read hands over every key of the range once, in order, as of
// one revision, even while another writer adds keys. Against a one-member cluster.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "etcd_client.h"
#include "etcd_cluster.h"

namespace {

class Collector : public EtcdRangeVisitor {
 public:
  void Begin(int64_t count) override {
    keys.clear();
    announced = count;
  }
  void Add(EtcdKeyValue& pair) override { keys.emplace_back(pair.key, pair.value); }

  std::vector<std::pair<std::string, std::string>> keys;
  int64_t announced = -1;
};

EtcdCluster& Cluster() {
  static const std::unique_ptr<EtcdCluster> cluster = [] {
    EtcdCluster::Options options;
    options.members = 1;
    return std::make_unique<EtcdCluster>(options);
  }();
  return *cluster;
}

RC_GTEST_PROP(EtcdRangeProperty, APagedReadSeesEveryKeyOnceInOrderAtOneRevision, ()) {
  static int number = 0;
  const std::string prefix = "/range" + std::to_string(++number) + "/";
  const auto names = *rc::gen::container<std::vector<std::string>>(
      *rc::gen::inRange<size_t>(0, 25), rc::gen::arbitrary<std::string>());
  std::map<std::string, std::string> expected;
  for (const std::string& name : names) {
    expected[prefix + name] = name + "=v";
    Cluster().Put(prefix + name, name + "=v");
  }
  const int64_t page = *rc::gen::inRange<int64_t>(1, 8);
  const bool concurrent = *rc::gen::arbitrary<bool>();

  EtcdOptions options;
  options.endpoints = {"http://" + Cluster().MemberAddress(0)};
  options.shown = "the test cluster";
  EtcdClient client(options);
  // A writer adding keys throughout the read: the revision pinned by the first page hides them.
  class LateWriter : public Collector {
   public:
    LateWriter(const std::string& prefix, bool active) : prefix_(prefix), active_(active) {}
    void Add(EtcdKeyValue& pair) override {
      Collector::Add(pair);
      if (active_) Cluster().Put(prefix_ + "late" + std::to_string(keys.size()), "x");
    }

   private:
    std::string prefix_;
    bool active_;
  } reader(prefix, concurrent);
  std::string end = prefix;
  end.back() = static_cast<char>(end.back() + 1);
  RC_ASSERT(client.ReadRange(prefix, end, page, reader) > 0);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  RC_ASSERT(reader.keys == Pairs(expected.begin(), expected.end()));
  RC_ASSERT(reader.announced == static_cast<int64_t>(expected.size()));
}

}  // namespace
