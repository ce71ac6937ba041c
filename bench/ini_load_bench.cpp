// Load speed and memory of the INI store against the floor of reading the same file and
// counting its lines, and the cost of opening one group's entries in small and large stores.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "bench_stores.h"
#include "ini.h"

namespace {

// CPU time of this thread, kernel time of its reads included.
using bench_stores::ThreadSeconds;

// Reaches the protected loader and writer, as the local and remote stores do.
class BenchIni : public Ini {
 public:
  using Ini::LoadImage;
  using Ini::SerializeImage;
  void FlushIniDataToFile(const std::string&) override {}
};

std::string ReadFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat info {};
  ::fstat(fd, &info);
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t got = ::read(fd, &bytes[done], bytes.size() - done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  ::close(fd);
  bytes.resize(done);
  return bytes;
}

size_t CountLines(const std::string& bytes) {
  size_t lines = 0;
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end) {
    const void* newline = std::memchr(p, '\n', static_cast<size_t>(end - p));
    ++lines;
    if (newline == nullptr) break;
    p = static_cast<const char*>(newline) + 1;
  }
  return lines;
}

// A store as an installation grows it: keys of depth 2 to 5 under a few vendor roots, created
// parent first in no particular order, 3 to 8 values each, some lists, some comments.
std::string GenerateStore(size_t groups, std::vector<std::string>* names) {
  std::mt19937 random(static_cast<unsigned>(groups));
  static const char* const kRoots[] = {"/ZOR_Software", "/ZOR_Partners", "/Customer"};
  static const char* const kKinds[] = {"App", "Module", "Sub", "Component", "Instance"};
  static const char* const kEntryNames[] = {"installdir", "description", "version", "enabled",
                                            "Owner",      "timeout",     "Ports",   "LogLevel"};
  std::vector<std::string> paths;
  std::vector<int> depth;
  std::set<std::string> seen;
  std::string text = "; generated configuration store\n\n";
  auto word = [&random](size_t length) {
    std::string w;
    for (size_t i = 0; i < length; ++i) w += static_cast<char>('a' + random() % 26);
    return w;
  };
  while (paths.size() < groups) {
    std::string path;
    int level;
    if (paths.size() < 3) {
      path = kRoots[paths.size()];
      level = 1;
    } else {
      size_t parent = random() % paths.size();
      if (depth[parent] >= 5) continue;
      level = depth[parent] + 1;
      path = paths[parent] + "/" + kKinds[level - 1] + std::to_string(random() % 40);
    }
    if (!seen.insert(path).second) continue;
    paths.push_back(path);
    depth.push_back(level);
    if (random() % 10 == 0) text += "; " + word(20) + " " + word(12) + "\n";
    text += "[" + path + "]\n";
    size_t entries = 3 + random() % 6;
    for (size_t e = 0; e < entries; ++e) {
      text += kEntryNames[e];
      text += '=';
      if (random() % 5 == 0) {
        for (int element = 0; element < 3; ++element) text += word(6) + "\x1B";
      } else {
        text += word(5 + random() % 30);
      }
      text += '\n';
    }
    text += '\n';
  }
  *names = paths;
  return text;
}

// The generated stores, written once per run into a scratch directory.
struct Stores {
  const std::string& Path(size_t groups) {
    auto found = paths.find(groups);
    if (found != paths.end()) return found->second;
    const std::string text = GenerateStore(groups, &names[groups]);
    return paths[groups] = directory.Write("store_" + std::to_string(groups) + ".ini", text);
  }
  bench_stores::ScratchDirectory directory;
  std::map<size_t, std::string> paths;
  std::map<size_t, std::vector<std::string>> names;
};

Stores& TheStores() {
  static Stores stores;
  return stores;
}

void BM_LoadStore(benchmark::State& state) {
  const size_t groups = static_cast<size_t>(state.range(0));
  const std::string& path = TheStores().Path(groups);
  double floor = 1e9;
  double load = 1e9;
  double order = 1e9;
  size_t file_size = 0;
  size_t held = 0;
  size_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    double start = ThreadSeconds();
    std::string floor_bytes = ReadFile(path);
    benchmark::DoNotOptimize(CountLines(floor_bytes));
    floor = std::min(floor, ThreadSeconds() - start);
    file_size = floor_bytes.size();
    floor_bytes = std::string();
    auto ini = std::make_unique<BenchIni>();
    const size_t before = ResetAllocationPeak();
    state.ResumeTiming();

    start = ThreadSeconds();
    ini->LoadImage(ReadFile(path), path);
    load = std::min(load, ThreadSeconds() - start);

    state.PauseTiming();
    held = LiveAllocatedBytes() - before;
    peak = PeakAllocatedBytes() - before;
    // The byte order of the groups is built by the first walk, not by the load.
    start = ThreadSeconds();
    benchmark::DoNotOptimize(ini->begin());
    order = std::min(order, ThreadSeconds() - start);
    ini.reset();
    state.ResumeTiming();
  }
  state.counters["file_MB"] = static_cast<double>(file_size) / 1e6;
  state.counters["floor_ms"] = floor * 1e3;
  state.counters["load_ms"] = load * 1e3;
  state.counters["load_per_floor"] = load / floor;
  state.counters["first_walk_ms"] = order * 1e3;
  state.counters["load_and_walk_per_floor"] = (load + order) / floor;
  state.counters["held_per_file"] = static_cast<double>(held) / static_cast<double>(file_size);
  state.counters["peak_per_file"] = static_cast<double>(peak) / static_cast<double>(file_size);
}
// Best of several runs of each, on CPU time.
BENCHMARK(BM_LoadStore)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(200000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// Opens the entries of groups never opened before (the store is reloaded, untimed, once every
// group has been opened).
void BM_OpenGroup(benchmark::State& state) {
  const size_t groups = static_cast<size_t>(state.range(0));
  const std::string& path = TheStores().Path(groups);
  std::vector<std::string> names = TheStores().names[groups];
  std::shuffle(names.begin(), names.end(), std::mt19937(7));
  const std::string bytes = ReadFile(path);
  auto ini = std::make_unique<BenchIni>();
  ini->LoadImage(bytes, path);
  size_t next = 0;
  for (auto _ : state) {
    if (next == names.size()) {
      state.PauseTiming();
      ini = std::make_unique<BenchIni>();
      ini->LoadImage(bytes, path);
      next = 0;
      state.ResumeTiming();
    }
    const IniEntryMap* entries = ini->GetGroupProperty(names[next++]);
    benchmark::DoNotOptimize(entries);
  }
}
BENCHMARK(BM_OpenGroup)->Arg(2000)->Arg(200000);

// Serializes a store with one group in a hundred edited, against the floor of copying the file's
// bytes into a new string.
void BM_SerializeStore(benchmark::State& state) {
  const size_t groups = static_cast<size_t>(state.range(0));
  const std::string& path = TheStores().Path(groups);
  const std::vector<std::string>& names = TheStores().names[groups];
  BenchIni ini;
  ini.LoadImage(ReadFile(path), path);
  for (size_t i = 0; i < names.size(); i += 100) ini.SetKeyValue(names[i], "version", "2.0");
  const std::string bytes = ReadFile(path);
  double floor = 1e9;
  double serialize = 1e9;
  for (auto _ : state) {
    double start = ThreadSeconds();
    std::string copy(bytes);
    benchmark::DoNotOptimize(copy.data());
    floor = std::min(floor, ThreadSeconds() - start);
    start = ThreadSeconds();
    std::string text = ini.SerializeImage();
    benchmark::DoNotOptimize(text.data());
    serialize = std::min(serialize, ThreadSeconds() - start);
  }
  state.counters["copy_ms"] = floor * 1e3;
  state.counters["serialize_ms"] = serialize * 1e3;
  state.counters["serialize_per_copy"] = serialize / floor;
}
BENCHMARK(BM_SerializeStore)->Arg(2000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
