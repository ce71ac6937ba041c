// Cost of flushing a 20,000-group store, side by side with its floor: the same bytes written to a
// temporary file, synced and renamed over the file; and of setting one value and saving through
// the public API on the generated stores, against the same floor with the directory synced.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "backup_ini.h"
#include "bench_stores.h"

namespace {

constexpr int kGroups = 20000;

std::string MakeStore() {
  std::string text = "; generated store for the flush benchmark\n";
  for (int group = 0; group < kGroups; ++group) {
    text += "\n[/ZOR_Software/Bench/Module" + std::to_string(group % 50) + "/Key" +
            std::to_string(group) + "]\ninstalldir=/opt/zor/module" + std::to_string(group) +
            "\nlist=first\x1bsecond\x1bthird\x1b\nenabled=1\n";
  }
  return text;
}

// The least any durable replace of `bytes` costs.
void WriteFloor(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".floor";
  int handle = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (handle < 0 || ::write(handle, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
      ::fsync(handle) != 0 || ::close(handle) != 0 || ::rename(temporary.c_str(), path.c_str())) {
    std::abort();
  }
}

// Reads the file at `path` into `bytes`, reusing its memory.
void ReadInto(const std::string& path, std::string& bytes) {
  const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const off_t size = handle < 0 ? -1 : ::lseek(handle, 0, SEEK_END);
  if (size < 0) std::abort();
  bytes.resize(static_cast<size_t>(size));
  if (::pread(handle, &bytes[0], bytes.size(), 0) != size || ::close(handle) != 0) std::abort();
}

// What a durable replace adds to the floor: the rename made to last.
void SyncDirectory(const std::string& directory) {
  int handle = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0 || ::fsync(handle) != 0 || ::close(handle) != 0) std::abort();
}

// Each iteration makes one change and flushes it, then writes the floor once; the two are
// timed separately so that both see the same disk at the same moment.
void BM_FlushAgainstFloor(benchmark::State& state) {
  const bench_stores::ScratchDirectory directory;
  const std::string store = directory.Write("store.ini", MakeStore());
  const std::string floor = directory.Path() + "/floor.ini";
  BackupIni ini(store);
  using Clock = std::chrono::steady_clock;
  Clock::duration flush_time{};
  Clock::duration floor_time{};
  Clock::duration directory_sync_time{};
  long counter = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    ini.SetKeyValue("/ZOR_Software/Bench/Module7/Key107", "counter", std::to_string(++counter));
    ini.FlushIniDataToFile("");
    auto middle = Clock::now();
    state.PauseTiming();
    // A new buffer at each iteration: this floor, unlike BM_SetValueAndSave's, writes from memory
    // just handed out.
    std::string bytes;
    ReadInto(store, bytes);
    state.ResumeTiming();
    auto floor_start = Clock::now();
    WriteFloor(floor, bytes);
    auto floor_end = Clock::now();
    SyncDirectory(directory.Path());
    auto end = Clock::now();
    flush_time += middle - start;
    floor_time += floor_end - floor_start;
    directory_sync_time += end - floor_end;
  }
  using Micro = std::chrono::duration<double, std::micro>;
  const double iterations = static_cast<double>(state.iterations());
  state.counters["flush_us"] = Micro(flush_time).count() / iterations;
  state.counters["floor_us"] = Micro(floor_time).count() / iterations;
  state.counters["ratio_to_floor"] = Micro(flush_time).count() / Micro(floor_time).count();
  // The flush also syncs the directory, as durability requires; this ratio counts that in the
  // floor too.
  state.counters["ratio_to_floor_with_directory_sync"] =
      Micro(flush_time).count() / Micro(floor_time + directory_sync_time).count();
}

// Setting one value through the public API outside a transaction, which saves the store, on the
// generated stores of bench_stores.h, against the floor of the same bytes written durably: a
// temporary file written and synced, renamed over the file, the directory synced. One of each
// in every iteration, on the wall clock, so that both meet the disk alike; the ratio is of the
// totals.
void BM_SetValueAndSave(benchmark::State& state) {
  const size_t groups = static_cast<size_t>(state.range(0));
  const bench_stores::Store generated = bench_stores::Generate(groups);
  const bench_stores::ScratchDirectory directory;
  const std::string store = directory.Write("store.ini", generated.text);
  const std::string floor = directory.Path() + "/floor.ini";
  QELConnection connection(QELConnection::INI);
  connection.Login(store, 0, "bench", "");
  QELRBKey key(generated.groups[groups / 3].path, connection);
  long counter = 0;
  // The first save after loading a file written moments ago reads it back to make sure no other
  // writer changed it within its timestamp's granularity; the iterations measure the later ones.
  key.SetValue("counter", std::to_string(++counter));
  // The floor writes from one buffer, read again in place at each iteration: a fresh one would
  // make the floor's writes wait on memory the machine has just handed out, which the store's
  // writes, from memory it holds, do not.
  std::string bytes;
  bytes.reserve(generated.text.size() + 4096);
  double save = 0;
  double floor_time = 0;
  for (auto _ : state) {
    double start = bench_stores::WallSeconds();
    key.SetValue("counter", std::to_string(++counter));
    save += bench_stores::WallSeconds() - start;
    state.PauseTiming();
    ReadInto(store, bytes);
    state.ResumeTiming();
    start = bench_stores::WallSeconds();
    WriteFloor(floor, bytes);
    SyncDirectory(directory.Path());
    floor_time += bench_stores::WallSeconds() - start;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["file_MB"] = static_cast<double>(generated.text.size()) / 1e6;
  state.counters["save_ms"] = save / iterations * 1e3;
  state.counters["floor_ms"] = floor_time / iterations * 1e3;
  state.counters["ratio_to_floor"] = save / floor_time;
}

}  // namespace

BENCHMARK(BM_FlushAgainstFloor)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SetValueAndSave)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_SetValueAndSave)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(30);

BENCHMARK_MAIN();
