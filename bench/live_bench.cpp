// The cost of following a store that did not change: QELConnection::Refresh on a local store of
// 20,000 groups, against a bare stat of the same file measured in the same run.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "bench_stores.h"

namespace {

class SettledStore {
 public:
  SettledStore() {
    std::string text;
    for (int i = 0; i < 20000; ++i) {
      text += "[/Bench/G" + std::to_string(i) + "]\nname=" + std::to_string(i) + "\n";
    }
    path_ = directory_.Write("store.ini", text);
    // A file changed moments ago proves nothing by its stamp (another change may share its
    // clock tick): a follower then reads it. Settled, it is one stat.
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    connection_.Login(path_, 0, "bench", "");
  }

  QELConnection& Connection() { return connection_; }
  const std::string& Path() const { return path_; }

 private:
  bench_stores::ScratchDirectory directory_;
  std::string path_;
  QELConnection connection_{QELConnection::INI};
};

SettledStore& Store() {
  static SettledStore store;
  return store;
}

void BM_RefreshWithoutChange(benchmark::State& state) {
  SettledStore& store = Store();
  const std::string& path = store.Path();
  struct stat status;
  const double floor_ns = bench_stores::NanosPerCall(200000, [&path, &status] {
    ::stat(path.c_str(), &status);
    benchmark::DoNotOptimize(status);
  });
  int64_t changes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) changes += static_cast<int64_t>(store.Connection().Refresh().size());
  const double refresh_ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(state.iterations());
  state.counters["refresh_ns"] = refresh_ns;
  state.counters["stat_ns"] = floor_ns;
  state.counters["refresh_per_stat"] = refresh_ns / floor_ns;
  state.counters["changes"] = static_cast<double>(changes);
}
BENCHMARK(BM_RefreshWithoutChange);

}  // namespace

BENCHMARK_MAIN();
