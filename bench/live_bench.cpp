// The cost of following a store that did not change: QELConnection::Refresh on a local store of
// 20,000 groups, against a bare stat of the same file measured in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <zor-qel-rb-key/zor_qel_rb_key.h>

namespace {

class SettledStore {
 public:
  SettledStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qel_live_XXXXXX").string();
    directory_ = mkdtemp(pattern.data());
    path_ = directory_ + "/store.ini";
    std::ofstream out(path_, std::ios::binary);
    for (int i = 0; i < 20000; ++i) out << "[/Bench/G" << i << "]\nname=" << i << "\n";
    out.close();
    // A file changed moments ago proves nothing by its stamp (another change may share its
    // clock tick): a follower then reads it. Settled, it is one stat.
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    connection_.Login(path_, 0, "bench", "");
  }
  ~SettledStore() { std::filesystem::remove_all(directory_); }

  QELConnection& Connection() { return connection_; }
  const std::string& Path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
  QELConnection connection_{QELConnection::INI};
};

SettledStore& Store() {
  static SettledStore store;
  return store;
}

double StatNanoseconds(const std::string& path) {
  struct stat status;
  constexpr int kRounds = 200000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    ::stat(path.c_str(), &status);
    benchmark::DoNotOptimize(status);
  }
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
             .count() /
         kRounds;
}

void BM_RefreshWithoutChange(benchmark::State& state) {
  SettledStore& store = Store();
  const double floor_ns = StatNanoseconds(store.Path());
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
