// What the zor::qel layer costs over the key API it wraps: a typed read against the plain
// GetValue, a read falling back to its default against the HasValue it asks, and a range-for
// walk against the same walk with the iterator, each as a ratio measured in the same run.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include <zor-qel-rb-key/zor_qel.h>
#include "bench_stores.h"

namespace {

using bench_stores::NanosPerCall;

constexpr const char* kTarget = "/Service";

// A store holding the target key with a few values and 10 subkeys.
class BenchStore {
 public:
  BenchStore() {
    const std::string path = directory_.Path() + "/store.ini";
    std::ofstream out(path, std::ios::binary);
    out << "[" << kTarget << "]\nhost=alder.example\nport=5401\nenabled=yes\n";
    for (int c = 0; c < 10; ++c) out << "[" << kTarget << "/C" << c << "]\nindex=" << c << "\n";
    out.close();
    connection_.Login(path, 0, "bench", "");
  }
  const QELConnection& Connection() const { return connection_; }

 private:
  bench_stores::ScratchDirectory directory_;
  QELConnection connection_{QELConnection::INI};
};

const QELConnection& Connection() {
  static BenchStore store;
  return store.Connection();
}

// Floor: GetValue of the same value, converted to text.
void BM_ReadInteger(benchmark::State& state) {
  const QELRBKey key(kTarget, Connection());
  double floorNs = 0, readNs = 0;
  for (auto _ : state) {
    floorNs += NanosPerCall(
        1000, [&] { benchmark::DoNotOptimize(static_cast<std::string>(key.GetValue("port"))); });
    readNs += NanosPerCall(
        1000, [&] { benchmark::DoNotOptimize(zor::qel::ReadInteger(key, "port", 0)); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_integer_ns"] = readNs / n;
  state.counters["floor_ns"] = floorNs / n;
  state.counters["ratio"] = readNs / floorNs;
}
BENCHMARK(BM_ReadInteger);

// Floor: the HasValue that finds the value missing.
void BM_ReadDefault(benchmark::State& state) {
  const QELRBKey key(kTarget, Connection());
  double floorNs = 0, readNs = 0;
  for (auto _ : state) {
    floorNs += NanosPerCall(1000, [&] { benchmark::DoNotOptimize(key.HasValue("absent")); });
    readNs += NanosPerCall(
        1000, [&] { benchmark::DoNotOptimize(zor::qel::ReadInteger(key, "absent", 0)); });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_default_ns"] = readNs / n;
  state.counters["floor_ns"] = floorNs / n;
  state.counters["ratio"] = readNs / floorNs;
}
BENCHMARK(BM_ReadDefault);

// Floor: the walk over the 10 subkeys with QELRBConstKeyIterator.
void BM_SubkeysRange(benchmark::State& state) {
  const QELRBKey key(kTarget, Connection());
  double floorNs = 0, rangeNs = 0;
  for (auto _ : state) {
    floorNs += NanosPerCall(20, [&] {
      for (QELRBConstKeyIterator it(key, "(key=*)", false, {});
           it != QELRBConstKeyIterator::EndIterator; ++it) {
        benchmark::DoNotOptimize((*it).GetKeyPath());
      }
    });
    rangeNs += NanosPerCall(20, [&] {
      for (const QELRBKey& sub : zor::qel::Subkeys(key)) benchmark::DoNotOptimize(sub.GetKeyPath());
    });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["range_us"] = rangeNs / n / 1000;
  state.counters["floor_us"] = floorNs / n / 1000;
  state.counters["ratio"] = rangeNs / floorNs;
}
BENCHMARK(BM_SubkeysRange);

}  // namespace

BENCHMARK_MAIN();
