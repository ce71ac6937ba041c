// Reading values and walking children through the public API, on generated stores of 2,000,
// 20,000 and 200,000 groups (bench_stores.h), each against a floor built and timed in the same
// run: the same (group, name) lookups in a std::unordered_map, and the same walk as a range of a
// std::set of the group names. Values are read as copies (GetValue) and in place (zor::qel::View).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/zor_qel.h>
#include "bench_stores.h"

namespace {

using bench_stores::Median;
using bench_stores::ThreadSeconds;
using Pair = std::pair<std::string_view, std::string_view>;

struct PairHash {
  size_t operator()(const Pair& pair) const {
    const size_t group = std::hash<std::string_view>()(pair.first);
    return group ^ (std::hash<std::string_view>()(pair.second) + 0x9E3779B97F4A7C15ull +
                    (group << 6) + (group >> 2));
  }
};

// The heap bytes in use: what the allocator handed out and was not given back, large blocks
// mapped on their own included.
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// One generated store, written to a scratch file and logged in to; `heap_before_login` is what
// the heap held just before the login.
struct LoggedIn {
  explicit LoggedIn(size_t groups)
      : store(bench_stores::Generate(groups)),
        path(directory.Write("store.ini", store.text)),
        connection(QELConnection::INI),
        heap_before_login(HeapInUse()) {
    connection.Login(path, 0, "bench", "");
  }
  bench_stores::ScratchDirectory directory;
  bench_stores::Store store;
  std::string path;
  QELConnection connection;
  size_t heap_before_login;
};

using Groups = std::vector<const bench_stores::Group*>::const_iterator;

// Times `read` over every key, in an order that does not follow the file, against the floor: the
// same (group, name) pairs, in the same order, found in an unordered_map the benchmark fills with
// the store's entries, reading each value's length and first byte. The two take turns, a whole
// pass each, so that both see the machine alike; the ratio is the median of the passes' ratios,
// the times their medians. The first pass after login, which also decodes every key's values for
// the first time, is reported on its own, and so is what the heap holds per byte of the file
// after the login and after that pass.
template <class Read>
void CompareWithFloor(benchmark::State& state, Read read) {
  LoggedIn data(static_cast<size_t>(state.range(0)));
  const size_t heap_after_login = HeapInUse();
  const std::vector<const bench_stores::Group*> order = bench_stores::Shuffled(data.store);
  const size_t heap_order = HeapInUse() - heap_after_login;
  double start = ThreadSeconds();
  read(data.connection, order.begin(), order.end());
  const double first = ThreadSeconds() - start;
  const size_t heap_after_reads = HeapInUse() - heap_order;
  std::unordered_map<Pair, std::string, PairHash> floor;
  floor.reserve(data.store.values);
  for (const bench_stores::Group& group : data.store.groups) {
    for (const auto& entry : group.entries) {
      floor.emplace(Pair(group.path, entry.first), entry.second);
    }
  }
  auto look_up = [&floor](Groups begin, Groups end) {
    for (Groups group = begin; group != end; ++group) {
      for (const auto& entry : (*group)->entries) {
        const auto found = floor.find(Pair((*group)->path, entry.first));
        benchmark::DoNotOptimize(found->second.size());
        benchmark::DoNotOptimize(found->second[0]);
      }
    }
  };
  std::vector<double> floor_passes;
  std::vector<double> passes;
  for (auto _ : state) {
    start = ThreadSeconds();
    look_up(order.begin(), order.end());
    const double middle = ThreadSeconds();
    read(data.connection, order.begin(), order.end());
    passes.push_back(ThreadSeconds() - middle);
    floor_passes.push_back(middle - start);
  }
  const double values = static_cast<double>(data.store.values);
  std::vector<double> ratios;
  for (size_t i = 0; i < passes.size(); ++i) ratios.push_back(passes[i] / floor_passes[i]);
  state.counters["values"] = values;
  state.counters["floor_ns"] = Median(floor_passes) / values * 1e9;
  state.counters["read_ns"] = Median(passes) / values * 1e9;
  state.counters["ratio"] = Median(ratios);
  state.counters["first_pass_ns"] = first / values * 1e9;
  const double file = static_cast<double>(data.store.text.size());
  state.counters["heap_per_file_loaded"] =
      static_cast<double>(heap_after_login - data.heap_before_login) / file;
  state.counters["heap_per_file_read"] =
      static_cast<double>(heap_after_reads - data.heap_before_login) / file;
}

// Opens each key with a handle of its own and reads each of its values by name with GetValue,
// which returns a copy; per value.
void BM_OpenKeysAndReadValues(benchmark::State& state) {
  CompareWithFloor(state, [](const QELConnection& connection, Groups begin, Groups end) {
    for (Groups group = begin; group != end; ++group) {
      const QELRBKey key((*group)->path, connection);
      for (const auto& entry : (*group)->entries) {
        benchmark::DoNotOptimize(key.GetValue(entry.first));
      }
    }
  });
}
BENCHMARK(BM_OpenKeysAndReadValues)->Arg(2000)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenKeysAndReadValues)->Arg(20000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenKeysAndReadValues)->Arg(200000)->Iterations(3)->Unit(benchmark::kMillisecond);

// Reads each value in place through zor::qel::View, reading its element count and the first byte
// of its first element as the floor does; per value. With a handle of its own for each key, and
// with one handle moved from key to key: what opening a key costs beside reading its values.
void ViewEach(const QELRBKey& key, const bench_stores::Group& group) {
  for (const auto& entry : group.entries) {
    const zor::qel::ValueView value = zor::qel::View(key, entry.first);
    benchmark::DoNotOptimize(value->Size());
    benchmark::DoNotOptimize(value->Elements().front()[0]);
  }
}

template <bool kMoveOneHandle>
void ViewValues(const QELConnection& connection, Groups begin, Groups end) {
  if (kMoveOneHandle) {
    QELRBKey key(connection);
    for (Groups group = begin; group != end; ++group) {
      key.ChangeKey((*group)->path);
      ViewEach(key, **group);
    }
  } else {
    for (Groups group = begin; group != end; ++group) {
      ViewEach(QELRBKey((*group)->path, connection), **group);
    }
  }
}

void BM_OpenKeysAndViewValues(benchmark::State& state) {
  CompareWithFloor(state, ViewValues<false>);
}
BENCHMARK(BM_OpenKeysAndViewValues)->Arg(2000)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenKeysAndViewValues)->Arg(20000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenKeysAndViewValues)->Arg(200000)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_MoveKeyAndViewValues(benchmark::State& state) { CompareWithFloor(state, ViewValues<true>); }
BENCHMARK(BM_MoveKeyAndViewValues)->Arg(2000)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveKeyAndViewValues)->Arg(20000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveKeyAndViewValues)->Arg(200000)->Iterations(3)->Unit(benchmark::kMillisecond);

// Opens `path` and walks its direct children with the public iterator, reading each one's path.
int WalkChildren(const std::string& path, const QELConnection& connection) {
  const QELRBKey key(path, connection);
  int seen = 0;
  for (QELRBConstKeyIterator it(key, "(key=*)", false, {});
       it != QELRBConstKeyIterator::EndIterator; ++it) {
    benchmark::DoNotOptimize((*it).GetKeyPath());
    ++seen;
  }
  return seen;
}

// The same walk over a std::set of every group name: the range that begins with the key's path
// and "/", less the names deeper down.
int WalkFloor(const std::set<std::string>& names, const std::string& path) {
  const std::string prefix = path + "/";
  int seen = 0;
  for (auto it = names.lower_bound(prefix);
       it != names.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->find('/', prefix.size()) != std::string::npos) continue;
    benchmark::DoNotOptimize(*it);
    ++seen;
  }
  return seen;
}

// Per walk of the 25 and of the 42 children, the median of the iterations: each opens the key
// and walks all its children. The floor is the walk over the set.
void BM_WalkChildren(benchmark::State& state) {
  LoggedIn data(static_cast<size_t>(state.range(0)));
  std::set<std::string> names;
  for (const bench_stores::Group& group : data.store.groups) names.insert(group.path);
  const std::string walk = bench_stores::kWalkKey;
  const std::string wide = bench_stores::kWideKey;
  if (WalkChildren(walk, data.connection) != bench_stores::kWalkChildren ||
      WalkChildren(wide, data.connection) != bench_stores::kWideChildren ||
      WalkFloor(names, walk) != bench_stores::kWalkChildren) {
    state.SkipWithError("the walk keys do not have their children");
    return;
  }
  constexpr int kRounds = 200;
  std::vector<double> floors;
  std::vector<double> walks;
  std::vector<double> wide_walks;
  for (auto _ : state) {
    double start = ThreadSeconds();
    for (int i = 0; i < kRounds; ++i) WalkFloor(names, walk);
    floors.push_back((ThreadSeconds() - start) / kRounds);
    start = ThreadSeconds();
    for (int i = 0; i < kRounds; ++i) WalkChildren(walk, data.connection);
    walks.push_back((ThreadSeconds() - start) / kRounds);
    start = ThreadSeconds();
    for (int i = 0; i < kRounds; ++i) WalkChildren(wide, data.connection);
    wide_walks.push_back((ThreadSeconds() - start) / kRounds);
  }
  std::vector<double> ratios;
  for (size_t i = 0; i < walks.size(); ++i) ratios.push_back(walks[i] / floors[i]);
  state.counters["walk25_us"] = Median(walks) * 1e6;
  state.counters["walk42_us"] = Median(wide_walks) * 1e6;
  state.counters["floor25_us"] = Median(floors) * 1e6;
  state.counters["ratio25"] = Median(ratios);
}
BENCHMARK(BM_WalkChildren)->Arg(2000)->Arg(20000)->Arg(200000)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
