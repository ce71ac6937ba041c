// Benchmarks of opening a key and walking the subkeys of a key in a small and a large store:
// each reports the large store's time per operation as a ratio of the small store's (the floor).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "qel_ini_connection.h"
#include "qel_ini_key.h"

namespace {

class BenchIni : public Ini {
 public:
  void FlushIniDataToFile(const std::string&) override {}
};

class BenchConnection : public QELIniConnection {
 public:
  // A store of `groups` groups around the key /P, which holds three values and ten children.
  explicit BenchConnection(int groups) {
    BenchIni* ini = new BenchIni();
    Adopt(ini, "bench", "memory");
    char name[32];
    for (int i = 0; i < groups; ++i) {
      std::snprintf(name, sizeof name, "/%c%07d", i % 2 ? 'G' : 'Q', i);
      ini->SetKeyValue(name, "value", "text");
    }
    ini->SetKeyValue("/P", "one", "1");
    ini->SetKeyValue("/P", "two",
                     std::string("a\x1B"
                                 "b\x1B"));
    ini->SetKeyValue("/P", "three", "3");
    for (int i = 0; i < 10; ++i) ini->InsertNewGroup("/P/c" + std::to_string(i));
  }
};

BenchConnection& Small() {
  static BenchConnection connection(2000);
  return connection;
}

BenchConnection& Large() {
  static BenchConnection connection(200000);
  return connection;
}

void OpenAndRead(BenchConnection& connection) {
  QELIniKey key("/P", connection);
  QELValueItem item("two", "");
  key.GetValue(item);
  benchmark::DoNotOptimize(item);
}

void WalkChildren(BenchConnection& connection) {
  QELIniKey key("/P", connection);
  qel_iterator<QELKeyPointer> cursor;
  uint32_t count = 0;
  key.SearchSubKey("(key=*)", cursor, false, {}, count);
  int walked = 0;
  while (!cursor.GetReader()->atEnd) {
    ++walked;
    ++cursor;
  }
  if (walked != 10) std::abort();
  bool empty = true;
  key.IsEmpty(empty);
  benchmark::DoNotOptimize(empty);
}

// Times `operation` on both stores in each iteration and reports large / small.
template <void (*operation)(BenchConnection&)>
void CompareStores(benchmark::State& state) {
  BenchConnection& small = Small();
  BenchConnection& large = Large();
  using Clock = std::chrono::steady_clock;
  Clock::duration small_time{}, large_time{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    operation(small);
    const Clock::time_point middle = Clock::now();
    operation(large);
    large_time += Clock::now() - middle;
    small_time += middle - start;
  }
  const double small_ns = std::chrono::duration<double, std::nano>(small_time).count();
  const double large_ns = std::chrono::duration<double, std::nano>(large_time).count();
  state.counters["small_ns"] = benchmark::Counter(small_ns, benchmark::Counter::kAvgIterations);
  state.counters["large_ns"] = benchmark::Counter(large_ns, benchmark::Counter::kAvgIterations);
  state.counters["large_over_small"] = large_ns / small_ns;
}

BENCHMARK_TEMPLATE(CompareStores, OpenAndRead)->Name("OpenKeyAndReadValues");
BENCHMARK_TEMPLATE(CompareStores, WalkChildren)->Name("WalkTenChildrenAndIsEmpty");

}  // namespace

BENCHMARK_MAIN();
