// Range reads in pages, fetched ahead while the pages before are taken in, over gRPC or through
// the JSON gateway: whatever the keys' bytes (0x00 and 0xFF among them), their number and the page
// size, a read hands over every key of the range once, in order, as of one revision, even while
// another writer adds keys and changes those not read yet. Against a one-member cluster.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <map>
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
    ++begun;
  }
  void Add(EtcdKeyValue& pair) override { keys.emplace_back(pair.key, pair.value); }

  std::vector<std::pair<std::string, std::string>> keys;
  int64_t announced = -1;
  int begun = 0;
};

EtcdCluster& Cluster() { return EtcdCluster::Shared(); }

RC_GTEST_PROP(EtcdRangeProperty, APagedReadSeesEveryKeyOnceInOrderAtOneRevision, ()) {
  static int number = 0;
  const std::string prefix = "/range" + std::to_string(++number) + "/";
  std::string end = prefix;
  end.back() = static_cast<char>(end.back() + 1);
  const auto edge = rc::gen::container<std::string>(
      rc::gen::element<char>('\0', '\x01', 'a', '\x7f', '\x80', '\xfe', '\xff'));
  const auto names = *rc::gen::container<std::vector<std::string>>(
      *rc::gen::inRange<size_t>(0, 25), rc::gen::oneOf(rc::gen::arbitrary<std::string>(), edge));
  std::map<std::string, std::string> expected;
  for (const std::string& name : names) expected[prefix + name] = name + "=v";
  for (const auto& pair : expected) Cluster().Put(pair.first, pair.second);
  // Another writer changes the range during the read, or the history is compacted past the
  // revision the read pinned (which then starts again).
  const int during = *rc::gen::inRange(0, 3);
  // Pages small enough that a compaction finds pages still to read (two are read ahead).
  const int64_t page = *rc::gen::inRange<int64_t>(1, during == 2 ? 3 : 8);
  const bool gateway = *rc::gen::arbitrary<bool>();

  EtcdOptions options;
  options.endpoints = {"http://" + Cluster().MemberAddress(0)};
  options.shown = "the test cluster";
  options.gateway_reads = gateway;
  EtcdClient client(options);
  // A writer adding keys and changing others throughout the read: the revision pinned by the
  // first page hides both from every page.
  class LateWriter : public Collector {
   public:
    LateWriter(const std::map<std::string, std::string>& keys, const std::string& prefix,
               int during)
        : keys_(keys), prefix_(prefix), during_(during) {}
    void Add(EtcdKeyValue& pair) override {
      Collector::Add(pair);
      if (during_ == 2 && begun == 1 && keys.size() == 1) Cluster().Compact();
      if (during_ != 1) return;
      Cluster().Put(prefix_ + "late" + std::to_string(keys.size()), "x");
      auto changed = keys_.begin();
      std::advance(changed, keys.size() * 7 % keys_.size());
      Cluster().Put(changed->first, "changed");
    }

   private:
    const std::map<std::string, std::string>& keys_;
    std::string prefix_;
    int during_;
  } reader(expected, prefix, during);
  RC_ASSERT(client.ReadRange(prefix, end, page, reader) > 0);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  RC_ASSERT(reader.keys == Pairs(expected.begin(), expected.end()));
  RC_ASSERT(reader.announced == static_cast<int64_t>(expected.size()));
  RC_ASSERT(client.ReadsOverGrpc() == !gateway);
  RC_TAG(reader.begun > 1 ? "read again after a compaction" : "read once");
}

}  // namespace
