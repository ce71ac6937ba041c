// A stack of three stores (package defaults, a site's overrides of a tenth of the keys, a host's
// of a hundredth) against one store of the same keys: opening a key and reading a value, and
// logging in, reported with the ratios the stack is held to.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "bench_stores.h"

namespace {

using bench_stores::Group;

// The files of one size: the defaults, the overrides, and the stack's host text.
struct Files {
  explicit Files(size_t groups) : store(bench_stores::Generate(groups)) {
    std::string site;
    std::string host;
    const std::vector<const Group*> order = bench_stores::Shuffled(store);
    for (size_t i = 0; i < order.size(); ++i) {
      if (order[i]->entries.empty()) continue;
      const std::string line =
          "[" + order[i]->path + "]\n" + order[i]->entries.front().first + "=override\n";
      if (i % 10 == 0) site += line;
      if (i % 100 == 0) host += line;
    }
    defaults = directory.Write("defaults.ini", store.text);
    stack = "layers:" + defaults + "|" + directory.Write("site.ini", site) + "|" +
            directory.Write("host.ini", host);
    layers = {defaults, directory.Path() + "/site.ini", directory.Path() + "/host.ini"};
  }
  bench_stores::ScratchDirectory directory;
  bench_stores::Store store;
  std::string defaults;
  std::string stack;
  std::vector<std::string> layers;
};

Files& FilesOf(size_t groups) {
  static Files small(2000);
  static Files large(20000);
  return groups == 2000 ? small : large;
}

QELConnection Login(const std::string& host) {
  QELConnection connection(QELConnection::INI);
  connection.Login(host, 0, "bench", "");
  return connection;
}

// Opens a key and reads its first value, the keys in a shuffled order.
void Read(benchmark::State& state, bool stacked) {
  Files& files = FilesOf(static_cast<size_t>(state.range(0)));
  const QELConnection connection = Login(stacked ? files.stack : files.defaults);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const Group* group : bench_stores::Shuffled(files.store)) {
    if (!group->entries.empty()) pairs.emplace_back(group->path, group->entries.front().first);
  }
  size_t next = 0;
  for (auto _ : state) {
    const auto& [path, name] = pairs[next];
    const QELRBKey key(path, connection);
    benchmark::DoNotOptimize(key.GetValue(name));
    next = next + 1 == pairs.size() ? 0 : next + 1;
  }
}

void ReadOneStore(benchmark::State& state) { Read(state, false); }
void ReadThreeLayers(benchmark::State& state) { Read(state, true); }

void LoginLayersOneByOne(benchmark::State& state) {
  const Files& files = FilesOf(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& layer : files.layers) benchmark::DoNotOptimize(Login(layer));
  }
}

void LoginStack(benchmark::State& state) {
  const Files& files = FilesOf(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Login(files.stack));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Each read is named with its size, so that the ratios find the runs of one size.
  for (const int size : {2000, 20000}) {
    benchmark::RegisterBenchmark(("ReadOneStore" + std::to_string(size)).c_str(), ReadOneStore)
        ->Arg(size);
    benchmark::RegisterBenchmark(("ReadThreeLayers" + std::to_string(size)).c_str(),
                                 ReadThreeLayers)
        ->Arg(size);
  }
  benchmark::RegisterBenchmark("LoginLayersOneByOne", LoginLayersOneByOne)
      ->Arg(20000)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("LoginStack", LoginStack)->Arg(20000)->Unit(benchmark::kMillisecond);
  bench_stores::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* size : {"2000", "20000"}) {
    std::printf(
        "read through three layers / one store, %s groups: %.2f (goal 1.5 at most)\n", size,
        reporter.Ratio(std::string("ReadThreeLayers") + size, std::string("ReadOneStore") + size));
  }
  std::printf("login of the stack / the layers' logins, 20000 groups: %.2f (goal 1.1 at most)\n",
              reporter.Ratio("LoginStack", "LoginLayersOneByOne"));
  benchmark::Shutdown();
  return 0;
}
