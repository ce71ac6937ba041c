// Costs of the public key handle: copying (no allocation), reading a value, writing one outside a
// transaction against the store's own flush, and opening a key and walking its children in a
// small and a large store, reported as ratios measured in the same run.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "bench_stores.h"
#include "qel_ini_connection.h"

namespace {

using bench_stores::NanosPerCall;

constexpr const char* kTarget = "/Middle/Target";

// A store of about `groups` groups: filler before and after the target key in byte order, and
// the target with 10 children, so that a walk that scans the whole store is visible.
class BenchStore {
 public:
  explicit BenchStore(int groups) {
    path_ = directory_.Path() + "/store.ini";
    std::ofstream out(path_, std::ios::binary);
    const int filler = (groups - 11) / 2;
    for (const char* top : {"/Alpha", "/Omega"}) {
      for (int i = 0; i < filler; ++i) {
        out << "[" << top << "/G" << i / 100 << "/K" << i % 100 << "]\nname=key" << i
            << "\nlist=a\x1b"
               "b\x1b\n";
      }
    }
    out << "[" << kTarget << "]\nname=target\nport=5401\n";
    for (int c = 0; c < 10; ++c) out << "[" << kTarget << "/C" << c << "]\nindex=" << c << "\n";
    out.close();
    connection_.Login(path_, 0, "bench", "");
  }

  const QELConnection& Connection() const { return connection_; }
  Ini* Store() const {
    return dynamic_cast<QELIniConnection*>(connection_.GetConnection())->GetIni().Get();
  }

 private:
  bench_stores::ScratchDirectory directory_;
  std::string path_;
  QELConnection connection_{QELConnection::INI};
};

BenchStore& Small() {
  static BenchStore store(2000);
  return store;
}
BenchStore& Large() {
  static BenchStore store(200000);
  return store;
}

// Also reports the heap bytes a kept copy costs: none, since copies share the backend key.
void BM_CopyHandle(benchmark::State& state) {
  const QELRBKey key(kTarget, Small().Connection());
  for (auto _ : state) {
    QELRBKey copy(key);
    benchmark::DoNotOptimize(copy);
  }
  std::vector<QELRBKey> kept;
  kept.reserve(1000);
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) kept.push_back(key);
  state.counters["heap_bytes_per_copy"] =
      static_cast<double>(mallinfo2().uordblks - before) / 1000.0;
}
BENCHMARK(BM_CopyHandle);

// Floor: one lookup in a case-insensitive std::map of the same entries, and a copy of the value.
void BM_GetValue(benchmark::State& state) {
  const QELRBKey key(kTarget, Small().Connection());
  std::map<std::string, std::string, StrCmpInSensitive> floor{{"name", "target"}, {"port", "5401"}};
  double floorNs = 0, getNs = 0;
  for (auto _ : state) {
    floorNs += NanosPerCall(1000, [&] { benchmark::DoNotOptimize(floor.find("PORT")->second); });
    getNs += NanosPerCall(1000, [&] { benchmark::DoNotOptimize(key.GetValue("PORT")); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["get_value_ns"] = getNs / n;
  state.counters["floor_ns"] = floorNs / n;
  state.counters["ratio"] = getNs / floorNs;
}
BENCHMARK(BM_GetValue);

// Floor: the same change made directly in the store, followed by its flush.
void BM_SetValueOutsideTransaction(benchmark::State& state) {
  QELRBKey key(kTarget, Small().Connection());
  Ini* store = Small().Store();
  double flushNs = 0, setNs = 0;
  int i = 0;
  for (auto _ : state) {
    flushNs += NanosPerCall(5, [&] {
      store->SetKeyValue(kTarget, "floor", std::to_string(++i));
      store->FlushIniDataToFile("");
    });
    setNs += NanosPerCall(5, [&] { key.SetValue("counter", std::to_string(++i)); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["set_value_us"] = setNs / n / 1000;
  state.counters["flush_us"] = flushNs / n / 1000;
  state.counters["ratio"] = setNs / flushNs;
}
BENCHMARK(BM_SetValueOutsideTransaction)->Iterations(20);

void BM_OpenKey(benchmark::State& state) {
  double smallNs = 0, largeNs = 0;
  for (auto _ : state) {
    smallNs += NanosPerCall(
        200, [&] { benchmark::DoNotOptimize(QELRBKey(kTarget, Small().Connection())); });
    largeNs += NanosPerCall(
        200, [&] { benchmark::DoNotOptimize(QELRBKey(kTarget, Large().Connection())); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["open_2k_ns"] = smallNs / n;
  state.counters["open_200k_ns"] = largeNs / n;
  state.counters["ratio_200k_to_2k"] = largeNs / smallNs;
}
BENCHMARK(BM_OpenKey);

int WalkChildren(const QELRBKey& key) {
  int seen = 0;
  for (QELRBConstKeyIterator it(key, "(key=*)", false, {});
       it != QELRBConstKeyIterator::EndIterator; ++it) {
    benchmark::DoNotOptimize((*it).GetKeyPath());
    ++seen;
  }
  return seen;
}

void BM_WalkTenChildren(benchmark::State& state) {
  const QELRBKey small(kTarget, Small().Connection());
  const QELRBKey large(kTarget, Large().Connection());
  if (WalkChildren(small) != 10 || WalkChildren(large) != 10) {
    state.SkipWithError("the target key does not have 10 children");
    return;
  }
  double smallNs = 0, largeNs = 0;
  for (auto _ : state) {
    smallNs += NanosPerCall(20, [&] { WalkChildren(small); });
    largeNs += NanosPerCall(20, [&] { WalkChildren(large); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["walk_2k_us"] = smallNs / n / 1000;
  state.counters["walk_200k_us"] = largeNs / n / 1000;
  state.counters["ratio_200k_to_2k"] = largeNs / smallNs;
}
BENCHMARK(BM_WalkTenChildren);

}  // namespace

BENCHMARK_MAIN();
