// Generated configuration stores shared by the benchmarks that compare lookups, walks and saves
// with floors and with other INI libraries, so that every program reads the same bytes; and what
// the benchmarks share besides: a scratch directory, clocks, the median of passes, and a reporter
// that keeps each run's time for the ratios printed after the runs.
// Thread safety: plain functions and values; a generated store is used by one thread at a time.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench_stores {

// The key whose direct children the walks visit, the number of its children, and a wider one.
constexpr const char* kWalkKey = "/M_Bench/Walk";
constexpr int kWalkChildren = 25;
constexpr const char* kWideKey = "/M_Bench/Wide";
constexpr int kWideChildren = 42;

struct Group {
  std::string path;
  std::vector<std::pair<std::string, std::string>> entries;  // name, text as stored
};

struct Store {
  std::string text;           // the file
  std::vector<Group> groups;  // in file order
  size_t values = 0;
};

// A store as an installation grows it: keys of depth 1 to 5 under a few vendor roots, made parent
// first in no particular order, 4 to 12 values each (8 on average, a fifth of them lists of 2 to 4
// elements, each ended by 0x1B), comments here and there; and the two walk keys in the middle of
// the byte order, each child with values and a grandchild of its own that a walk of direct
// children passes over. No group name is longer than 50 bytes, nor any line than 200, which
// inih (peer_bench) would cut.
inline Store Generate(size_t group_count) {
  std::mt19937 random(static_cast<unsigned>(group_count));
  static const char* const kRoots[] = {"/ZOR_Software", "/ZOR_Partners", "/Customer"};
  static const char* const kKinds[] = {"App", "Module", "Sub", "Component", "Inst"};
  static const char* const kNames[] = {"installdir", "Description", "version", "enabled",
                                       "Owner",      "timeout",     "Ports",   "LogLevel",
                                       "host",       "Retries",     "path",    "mode"};
  auto word = [&random](size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + random() % 26);
    return text;
  };
  Store store;
  store.text = "; generated configuration store\n\n";
  auto add = [&](const std::string& path) {
    Group group{path, {}};
    if (random() % 10 == 0) store.text += "; " + word(20) + " " + word(12) + "\n";
    store.text += "[" + path + "]\n";
    const size_t count = 4 + random() % 9;
    for (size_t e = 0; e < count; ++e) {
      std::string value;
      if (random() % 5 == 0) {
        const int elements = 2 + static_cast<int>(random() % 3);
        for (int i = 0; i < elements; ++i) value += word(4 + random() % 7) + "\x1B";
      } else {
        value = word(2 + random() % 24);
      }
      store.text += kNames[e];
      store.text += '=';
      store.text += value;
      store.text += '\n';
      group.entries.emplace_back(kNames[e], value);
    }
    store.text += '\n';
    store.values += group.entries.size();
    store.groups.push_back(std::move(group));
  };
  auto add_walk_key = [&](const std::string& key, int children) {
    add(key);
    char child[32];
    for (int c = 0; c < children; ++c) {
      std::snprintf(child, sizeof child, "/Child%02d", c);
      add(key + child);
      add(key + child + "/Leaf");
    }
  };
  std::vector<std::string> paths;
  std::vector<int> depth;
  std::set<std::string> seen;
  const size_t walk_groups = 3 + 2 * (kWalkChildren + kWideChildren);
  const size_t filler = group_count > walk_groups ? group_count - walk_groups : 3;
  while (paths.size() < filler) {
    std::string path;
    int level;
    if (paths.size() < 3) {
      path = kRoots[paths.size()];
      level = 1;
    } else {
      const size_t parent = random() % paths.size();
      if (depth[parent] >= 5) continue;
      level = depth[parent] + 1;
      path = paths[parent] + "/" + kKinds[level - 1] + std::to_string(random() % 40);
    }
    if (!seen.insert(path).second) continue;
    paths.push_back(path);
    depth.push_back(level);
    add(path);
    if (paths.size() == filler / 2) {
      add("/M_Bench");
      add_walk_key(kWalkKey, kWalkChildren);
      add_walk_key(kWideKey, kWideChildren);
    }
  }
  return store;
}

// A scratch directory on the disk the temporary files go to ($TMPDIR or /tmp), removed with it.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qel-bench-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDirectory() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& Path() const { return path_; }
  // Writes `text` to the file `name` in the directory and returns its path.
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string file = path_ + "/" + name;
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fclose(out) != 0) {
      throw std::runtime_error("cannot write " + file);
    }
    return file;
  }

 private:
  std::string path_;
};

// CPU time of this thread, so that other processes on a busy machine do not blur comparisons of
// work done in memory.
inline double ThreadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall time, for what waits on the disk.
inline double WallSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The middle of `samples` (the upper one of an even count): what a pass costs, whatever a busy
// machine did to the passes before and after it.
inline double Median(std::vector<double> samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

// The groups in an order of their own, the same in every program: reads do not follow the file.
inline std::vector<const Group*> Shuffled(const Store& store) {
  std::vector<const Group*> order;
  order.reserve(store.groups.size());
  for (const Group& group : store.groups) order.push_back(&group);
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  return order;
}

// Mean nanoseconds of `op` over `rounds` calls.
template <class Op>
double NanosPerCall(int rounds, Op op) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) op();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / rounds;
}

// A plain tree of `groups` small keys under 50 modules, each with a name and a 3-element list:
// the store of the remote benchmarks, whose cost is the transport rather than the shape.
inline std::string ModuleTreeText(int groups) {
  std::string text;
  for (int group = 0; group < groups; ++group) {
    const std::string n = std::to_string(group);
    text += "[/ZOR_Software/Module" + std::to_string(group % 50) + "/Key" + n + "]\n";
    text += "name=entry " + n +
            "\nlist=alpha\x1b"
            "beta\x1b"
            "gamma\x1b\n";
  }
  return text;
}

// The console's report, which also keeps each run's real time and counters by the run's name, so
// that a program can print how its figures compare once every benchmark has run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      for (const auto& counter : run.counters) {
        counters_[run.benchmark_name() + " " + counter.first] = counter.second;
      }
    }
  }
  // The time of the run whose name begins with `name` and a slash ("Login/20000"); 0 without one.
  double Time(const std::string& name) const {
    for (const auto& time : times_) {
      if (time.first.compare(0, name.size() + 1, name + "/") == 0) return time.second;
    }
    return 0;
  }
  // The time of `a` per the time of `b`; 0 when either did not run.
  double Ratio(const std::string& a, const std::string& b) const {
    return Time(b) > 0 ? Time(a) / Time(b) : 0;
  }
  // The counter `counter` of the run whose name begins with `name` and a slash; 0 without one.
  double Counter(const std::string& name, const std::string& counter) const {
    for (const auto& value : counters_) {
      if (value.first.compare(0, name.size() + 1, name + "/") == 0 &&
          value.first.size() > counter.size() &&
          value.first.compare(value.first.size() - counter.size() - 1, std::string::npos,
                              " " + counter) == 0) {
        return value.second;
      }
    }
    return 0;
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> counters_;
};

}  // namespace bench_stores
