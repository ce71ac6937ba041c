// The work of lookup_bench and of the save benchmark done by this library and by the INI libraries
// Debian packages, in one run on the same generated stores (bench_stores.h): reading every key's
// values, walking a key's 25 direct children, and setting one value and saving. Built with the
// peers found at configuration (scripts/install-deps.sh bench): inih's INIReader
// (QEL_PEER_INIH), Boost.PropertyTree (QEL_PEER_BOOST) and SimpleIni (QEL_PEER_SIMPLEINI).
// Uses the public API and the shared library only, as a program would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "bench_stores.h"

#ifdef QEL_PEER_INIH
#include <INIReader.h>
#include <ini.h>
#endif
#ifdef QEL_PEER_BOOST
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#endif
#ifdef QEL_PEER_SIMPLEINI
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>
#endif

namespace {

using bench_stores::Group;
using bench_stores::Median;
using bench_stores::ThreadSeconds;
using bench_stores::WallSeconds;

bool DirectChild(const std::string& name, const std::string& prefix) {
  return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         name.find('/', prefix.size()) == std::string::npos;
}

// One generated store per size, written once; each library loads its own copy when first asked.
struct Fixture {
  explicit Fixture(size_t groups)
      : store(bench_stores::Generate(groups)),
        order(bench_stores::Shuffled(store)),
        path(directory.Write("store.ini", store.text)) {}
  // A copy of the store for a library that writes, so that no two write one file.
  std::string CopyFor(const std::string& library) const {
    return directory.Write(library + ".ini", store.text);
  }

  bench_stores::ScratchDirectory directory;
  bench_stores::Store store;
  std::vector<const Group*> order;
  std::string path;
};

Fixture& FixtureOf(size_t groups) {
  static std::map<size_t, std::unique_ptr<Fixture>> fixtures;
  std::unique_ptr<Fixture>& fixture = fixtures[groups];
  if (!fixture) fixture = std::make_unique<Fixture>(groups);
  return *fixture;
}

// What each library is asked to do. `read` opens each key of `order` once and reads each of its
// values by name; `children` opens the key `path` and returns the paths of its direct children;
// `save` sets one value of `group` and writes the store back to its file.
struct Library {
  std::function<void(const std::string& file)> load;
  std::function<void(const std::vector<const Group*>& order)> read;
  std::function<std::vector<std::string>(const std::string& path)> children;
  std::function<void(const Group& group, const std::string& value)> save;
};

Library ThisLibrary() {
  auto connection = std::make_shared<QELConnection>(QELConnection::INI);
  Library library;
  library.load = [connection](const std::string& file) { connection->Login(file, 0, "bench", ""); };
  library.read = [connection](const std::vector<const Group*>& order) {
    for (const Group* group : order) {
      const QELRBKey key(group->path, *connection);
      for (const auto& entry : group->entries) benchmark::DoNotOptimize(key.GetValue(entry.first));
    }
  };
  library.children = [connection](const std::string& path) {
    const QELRBKey key(path, *connection);
    std::vector<std::string> found;
    for (QELRBConstKeyIterator it(key, "(key=*)", false, {});
         it != QELRBConstKeyIterator::EndIterator; ++it) {
      found.push_back((*it).GetKeyPath());
    }
    return found;
  };
  library.save = [connection](const Group& group, const std::string& value) {
    QELRBKey(group.path, *connection).SetValue(group.entries.front().first, value);
  };
  return library;
}

#ifdef QEL_PEER_INIH
// inih keeps the values in a map of "section=name" lowered; it cannot list its sections, so the
// children are found by parsing the file's text again, and it does not write.
Library Inih() {
  auto reader = std::make_shared<std::unique_ptr<INIReader>>();
  auto text = std::make_shared<std::string>();
  Library library;
  library.load = [reader, text](const std::string& file) {
    *reader = std::make_unique<INIReader>(file);
    if ((*reader)->ParseError() != 0) std::abort();
    FILE* in = std::fopen(file.c_str(), "rb");
    char chunk[65536];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text->append(chunk, got);
    std::fclose(in);
  };
  library.read = [reader](const std::vector<const Group*>& order) {
    for (const Group* group : order) {
      for (const auto& entry : group->entries) {
        benchmark::DoNotOptimize((*reader)->Get(group->path, entry.first, ""));
      }
    }
  };
  library.children = [text](const std::string& path) {
    struct Walk {
      std::string prefix;
      std::vector<std::string> found;
    } walk{path + "/", {}};
    ini_parse_string(
        text->c_str(),
        [](void* user, const char* section, const char*, const char*) {
          Walk& state = *static_cast<Walk*>(user);
          if (DirectChild(section, state.prefix) &&
              (state.found.empty() || state.found.back() != section)) {
            state.found.emplace_back(section);
          }
          return 1;
        },
        &walk);
    return walk.found;
  };
  return library;
}
#endif

#ifdef QEL_PEER_BOOST
// Boost.PropertyTree holds the file as a tree of sections: a key is a child of the root, found by
// name; the children of a key are the root's children whose names fit.
Library Boost() {
  using boost::property_tree::ptree;
  auto tree = std::make_shared<ptree>();
  auto file_name = std::make_shared<std::string>();
  Library library;
  library.load = [tree, file_name](const std::string& file) {
    *file_name = file;
    boost::property_tree::read_ini(file, *tree);
  };
  library.read = [tree](const std::vector<const Group*>& order) {
    for (const Group* group : order) {
      const ptree& section = tree->get_child(ptree::path_type(group->path, '\0'));
      for (const auto& entry : group->entries) {
        benchmark::DoNotOptimize(section.get<std::string>(ptree::path_type(entry.first, '\0')));
      }
    }
  };
  library.children = [tree](const std::string& path) {
    const std::string prefix = path + "/";
    benchmark::DoNotOptimize(tree->get_child(ptree::path_type(path, '\0')));
    std::vector<std::string> found;
    for (const auto& section : *tree) {
      if (DirectChild(section.first, prefix)) found.push_back(section.first);
    }
    return found;
  };
  library.save = [tree, file_name](const Group& group, const std::string& value) {
    tree->get_child(ptree::path_type(group.path, '\0'))
        .put(ptree::path_type(group.entries.front().first, '\0'), value);
    boost::property_tree::write_ini(*file_name, *tree);
  };
  return library;
}
#endif

#ifdef QEL_PEER_SIMPLEINI
// SimpleIni holds sections and keys in maps; its values are read in place, without a copy.
Library SimpleIni() {
  auto ini = std::make_shared<CSimpleIniA>();
  auto file_name = std::make_shared<std::string>();
  Library library;
  library.load = [ini, file_name](const std::string& file) {
    *file_name = file;
    if (ini->LoadFile(file.c_str()) < 0) std::abort();
  };
  library.read = [ini](const std::vector<const Group*>& order) {
    for (const Group* group : order) {
      for (const auto& entry : group->entries) {
        benchmark::DoNotOptimize(ini->GetValue(group->path.c_str(), entry.first.c_str(), nullptr));
      }
    }
  };
  library.children = [ini](const std::string& path) {
    const std::string prefix = path + "/";
    benchmark::DoNotOptimize(ini->GetSection(path.c_str()));
    CSimpleIniA::TNamesDepend sections;
    ini->GetAllSections(sections);
    std::vector<std::string> found;
    for (const auto& section : sections) {
      if (DirectChild(section.pItem, prefix)) found.emplace_back(section.pItem);
    }
    return found;
  };
  library.save = [ini, file_name](const Group& group, const std::string& value) {
    ini->SetValue(group.path.c_str(), group.entries.front().first.c_str(), value.c_str());
    if (ini->SaveFile(file_name->c_str()) < 0) std::abort();
  };
  return library;
}
#endif

// Each library's object per store size, loaded on first use: the load time is reported.
struct Loaded {
  Library library;
  double load_ms = 0;
};

Loaded& LoadedFor(const std::string& name, Library (*make)(), size_t groups) {
  static std::map<std::pair<std::string, size_t>, std::unique_ptr<Loaded>> loaded;
  std::unique_ptr<Loaded>& entry = loaded[{name, groups}];
  if (!entry) {
    entry = std::make_unique<Loaded>();
    entry->library = make();
    const Fixture& fixture = FixtureOf(groups);
    const std::string file = entry->library.save ? fixture.CopyFor(name) : fixture.path;
    const double start = ThreadSeconds();
    entry->library.load(file);
    entry->load_ms = (ThreadSeconds() - start) * 1e3;
  }
  return *entry;
}

// Per value: every key opened once, in an order that does not follow the file, each of its
// values read; the median of the passes.
void Read(benchmark::State& state, const std::string& name, Library (*make)()) {
  const size_t groups = static_cast<size_t>(state.range(0));
  Loaded& loaded = LoadedFor(name, make, groups);
  const Fixture& fixture = FixtureOf(groups);
  loaded.library.read(fixture.order);
  std::vector<double> passes;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    loaded.library.read(fixture.order);
    passes.push_back(ThreadSeconds() - start);
  }
  state.counters["read_ns"] = Median(passes) / static_cast<double>(fixture.store.values) * 1e9;
  state.counters["load_ms"] = loaded.load_ms;
}

// Per walk of the 25 children of the walk key, key opened; the median of the iterations.
void Children(benchmark::State& state, const std::string& name, Library (*make)()) {
  const size_t groups = static_cast<size_t>(state.range(0));
  Loaded& loaded = LoadedFor(name, make, groups);
  if (loaded.library.children(bench_stores::kWalkKey).size() != bench_stores::kWalkChildren) {
    state.SkipWithError("the walk key does not show its 25 children");
    return;
  }
  // Enough walks in each iteration to take some 20 ms, however fast a walk is.
  double start = ThreadSeconds();
  loaded.library.children(bench_stores::kWalkKey);
  const double once = ThreadSeconds() - start;
  const int rounds = static_cast<int>(std::max(1.0, std::min(1000.0, 0.02 / std::max(once, 1e-7))));
  std::vector<double> walks;
  for (auto _ : state) {
    start = ThreadSeconds();
    for (int i = 0; i < rounds; ++i) {
      benchmark::DoNotOptimize(loaded.library.children(bench_stores::kWalkKey));
    }
    walks.push_back((ThreadSeconds() - start) / rounds);
  }
  state.counters["children_us"] = Median(walks) * 1e6;
}

// Per save of one changed value, on the wall clock (this library also syncs the file and its
// directory; the others do not); the median of the iterations.
void Save(benchmark::State& state, const std::string& name, Library (*make)()) {
  const size_t groups = static_cast<size_t>(state.range(0));
  Loaded& loaded = LoadedFor(name, make, groups);
  if (!loaded.library.save) {
    state.SkipWithError("the library does not write");
    return;
  }
  const Group& group = FixtureOf(groups).store.groups[groups / 3];
  long counter = 0;
  std::vector<double> saves;
  for (auto _ : state) {
    const double start = WallSeconds();
    loaded.library.save(group, std::to_string(++counter));
    saves.push_back(WallSeconds() - start);
  }
  state.counters["save_ms"] = Median(saves) * 1e3;
}

void Register(const std::string& name, Library (*make)()) {
  for (int64_t groups : {2000, 20000, 200000}) {
    const int64_t many = groups == 200000 ? 3 : groups == 20000 ? 10 : 40;
    benchmark::RegisterBenchmark(("Read/" + name).c_str(), Read, name, make)
        ->Arg(groups)
        ->Iterations(many)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Children/" + name).c_str(), Children, name, make)
        ->Arg(groups)
        ->Iterations(groups == 200000 ? 5 : 20)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Save/" + name).c_str(), Save, name, make)
        ->Arg(groups)
        ->Iterations(groups == 200000 ? 5 : 20)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register("zor-qel-rb-key", ThisLibrary);
#ifdef QEL_PEER_INIH
  Register("inih", Inih);
#endif
#ifdef QEL_PEER_BOOST
  Register("boost-ptree", Boost);
#endif
#ifdef QEL_PEER_SIMPLEINI
  Register("SimpleIni", SimpleIni);
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
