// The etcd store on a local 3-member cluster, each figure against a floor measured in the same
// run: login on a 20,000-group tree per one raw range read of the same keys (one libcurl request
// over gRPC, the answer not decoded; and one to the JSON gateway), the heap at its peak during
// login per the tree's INI text, and one changed value written on a 20,000-group per a 2,000-group
// tree. Whole processes side by side: a qelreg that logs in and reads one value per `etcdctl get
// --prefix` of the same keys, at 20,000 and QEL_BENCH_ETCD_LARGE (50,000 unless set) groups, and
// the peak memory of a `qelreg copy` of the large tree to another prefix per the tree's INI text
// and per the peak of that `qelreg get`, whose login alone holds the source's image. Beside the
// wall times, the CPU time the cluster's members and the processes used.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "base64.h"
#include "bench_stores.h"
#include "etcd_cluster.h"
#include "etcd_ini.h"
#include "etcd_wire.h"
#include "http_transport.h"

namespace {

EtcdCluster* cluster = nullptr;
std::map<int, size_t> text_bytes;  // the INI text of each tree, by its number of groups

std::string Prefix(int groups) { return "/bench" + std::to_string(groups); }
// The range of etcd keys that tree holds: the prefix's keys below it, so that /bench20000 does
// not take in /bench200000.
std::string KeysBelow(int groups) { return Prefix(groups) + "/"; }

// The CPU time (user and system) the cluster's members, this process's etcd children, used so
// far, in milliseconds: the work a read costs the cluster, whatever else the machine runs.
double ClusterCpuMs() {
  double ticks = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t close = line.rfind(')');
    const size_t open = line.find('(');
    if (close == std::string::npos || open == std::string::npos ||
        line.compare(open + 1, close - open - 1, "etcd") != 0) {
      continue;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long ppid = 0;
    double used = 0;
    for (int number = 3; fields >> field && number <= 15; ++number) {
      if (number == 4) ppid = std::atol(field.c_str());
      if (number == 14 || number == 15) used += std::atof(field.c_str());
    }
    if (ppid == getpid()) ticks += used;
  }
  closedir(proc);
  return ticks * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Login(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  const std::string address = cluster->Address(Prefix(groups));
  size_t peak = 0;
  size_t held = 0;
  uint64_t requests = 0;
  const double cluster_before = ClusterCpuMs();
  for (auto _ : state) {
    const size_t before = ResetAllocationPeak();
    auto ini = std::make_unique<EtcdIni>(address, "bench", "");
    state.PauseTiming();
    requests = ini->Requests();
    peak = std::max(peak, PeakAllocatedBytes() - before);
    held = LiveAllocatedBytes() - before;
    benchmark::DoNotOptimize(ini->GroupCount());
    ini.reset();
    state.ResumeTiming();
  }
  state.counters["text_MB"] = static_cast<double>(text_bytes[groups]) / 1e6;
  state.counters["peak_per_text"] = static_cast<double>(peak) / text_bytes[groups];
  state.counters["held_per_text"] = static_cast<double>(held) / text_bytes[groups];
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["cluster_cpu_ms"] =
      benchmark::Counter(ClusterCpuMs() - cluster_before, benchmark::Counter::kAvgIterations);
}

// One range request for every key of the tree through the login's transport, its answer
// received whole and not decoded: over gRPC (`grpc`) or to the JSON gateway.
void RawRead(benchmark::State& state, bool grpc) {
  const std::string prefix = KeysBelow(static_cast<int>(state.range(0)));
  std::string end = prefix;
  end.back() = static_cast<char>(end.back() + 1);
  const std::string body =
      grpc ? EtcdRangeRequestMessage(prefix, end, 0, 0)
           : "{\"key\":\"" + Base64(prefix) + "\",\"range_end\":\"" + Base64(end) + "\"}";
  std::unique_ptr<HttpTransport> http = MakeHttpTransport(HttpSettings());
  HttpRequest request;
  request.method = "POST";
  request.url =
      "http://" + cluster->MemberAddress(0) + (grpc ? "/etcdserverpb.KV/Range" : "/v3/kv/range");
  request.body = &body;
  request.headers = grpc
                        ? std::vector<std::string>{"Content-Type: application/grpc", "TE: trailers"}
                        : std::vector<std::string>{"Content-Type: application/json"};
  request.http2 = grpc;
  size_t bytes = 0;
  for (auto _ : state) {
    HttpResponse response = http->Perform(request);
    if (!response.Succeeded()) {
      state.SkipWithError(("the range read failed: " + response.detail).c_str());
      break;
    }
    bytes = response.body.size();
  }
  state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
}

// The floor the login's goal was set against: the JSON gateway's read.
void RawRangeRead(benchmark::State& state) { RawRead(state, false); }
// The floor of the login's own transport: the gRPC read.
void RawGrpcRangeRead(benchmark::State& state) { RawRead(state, true); }

// The peak resident memory of process `pid` so far, in bytes, once it runs `program` (VmHWM: its
// own since it started that program, unlike a child's ru_maxrss, which counts the memory of the
// parent it was forked from); 0 before.
uint64_t PeakResident(pid_t pid, const std::string& program) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 5, "Name:") == 0 && line.find(program.substr(0, 15)) == std::string::npos) {
      return 0;
    }
    if (line.compare(0, 6, "VmHWM:") == 0) {
      return std::strtoull(line.c_str() + 6, nullptr, 10) << 10;
    }
  }
  return 0;
}

// Runs `argv` with standard output to /dev/null and returns its peak resident memory in bytes
// (looked at every 2 ms while it runs), or 0 when it failed; adds the CPU time it used (user and
// system) to `*cpu_s` when given.
uint64_t RunProcess(const std::vector<const char*>& argv, double* cpu_s = nullptr) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
    setenv("ETCDCTL_API", "3", 1);
    setenv("QEL_PASSWORD", "", 1);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  uint64_t peak = 0;
  const std::string program = std::string(argv[0]).substr(std::string(argv[0]).rfind('/') + 1);
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    peak = std::max(peak, PeakResident(pid, program));
    usleep(2000);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  if (cpu_s != nullptr) {
    *cpu_s += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return std::max<uint64_t>(peak, 1);
}

// etcdctl, which speaks gRPC, printing the same keys to /dev/null.
void EtcdctlGet(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  const std::string endpoint = "--endpoints=http://" + cluster->MemberAddress(0);
  const std::string prefix = KeysBelow(groups);
  double cpu_s = 0;
  const double cluster_before = ClusterCpuMs();
  for (auto _ : state) {
    if (RunProcess({"etcdctl", endpoint.c_str(), "get", "--prefix", prefix.c_str(), nullptr},
                   &cpu_s) == 0) {
      state.SkipWithError("etcdctl failed (is the Debian package etcd-client installed?)");
      break;
    }
  }
  state.counters["process_cpu_ms"] =
      benchmark::Counter(cpu_s * 1e3, benchmark::Counter::kAvgIterations);
  state.counters["cluster_cpu_ms"] =
      benchmark::Counter(ClusterCpuMs() - cluster_before, benchmark::Counter::kAvgIterations);
}

// The same keys read by a whole qelreg process: its login, then one value.
void QelregGet(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  const std::string address = cluster->Address(Prefix(groups));
  double cpu_s = 0;
  const double cluster_before = ClusterCpuMs();
  uint64_t peak = 0;
  for (auto _ : state) {
    const uint64_t used = RunProcess({QELREG_PATH, "--remote", address.c_str(), "--user", "bench",
                                      "get", "/ZOR_Software/Module7/Key7", "name", nullptr},
                                     &cpu_s);
    if (used == 0) {
      state.SkipWithError("qelreg get failed");
      break;
    }
    peak = std::max(peak, used);
  }
  state.counters["process_cpu_ms"] =
      benchmark::Counter(cpu_s * 1e3, benchmark::Counter::kAvgIterations);
  state.counters["cluster_cpu_ms"] =
      benchmark::Counter(ClusterCpuMs() - cluster_before, benchmark::Counter::kAvgIterations);
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
}

// A whole qelreg copy of the tree to a prefix of its own, once: its peak memory.
void QelregCopy(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  const std::string from = cluster->Address(Prefix(groups));
  uint64_t peak = 0;
  int round = 0;
  for (auto _ : state) {
    const std::string to =
        cluster->Address("/copy" + std::to_string(groups) + "-" + std::to_string(++round));
    peak = RunProcess({QELREG_PATH, "--user", "bench", "copy", from.c_str(), to.c_str(), "--batch",
                       "100", nullptr});
    if (peak == 0) {
      state.SkipWithError("qelreg copy failed");
      break;
    }
  }
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["peak_per_text"] = static_cast<double>(peak) / text_bytes[groups];
}

// The larger tree of the whole-process comparison.
int LargeGroups() {
  const char* value = std::getenv("QEL_BENCH_ETCD_LARGE");
  return value != nullptr && *value != '\0' ? std::atoi(value) : 50000;
}

// One value of one group changed and written: one transaction whatever the tree's size.
void WriteOneValue(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  EtcdIni ini(cluster->Address(Prefix(groups)), "bench", "");
  long round = 0;
  const uint64_t before = ini.Requests();
  for (auto _ : state) {
    ini.SetKeyValue("/ZOR_Software/Module7/Key7", "name", "round " + std::to_string(++round));
    ini.FlushIniDataToFile("");
  }
  state.counters["requests_per_write"] =
      static_cast<double>(ini.Requests() - before) / static_cast<double>(round);
}

BENCHMARK(Login)
    ->Arg(20000)
    ->Arg(LargeGroups())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK(RawGrpcRangeRead)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(RawRangeRead)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(EtcdctlGet)
    ->Arg(20000)
    ->Arg(LargeGroups())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK(QelregGet)
    ->Arg(20000)
    ->Arg(LargeGroups())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK(QelregCopy)->Arg(LargeGroups())->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(WriteOneValue)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::unique_ptr<EtcdCluster> local;
  try {
    // Without fsync each write costs the same network round trips and no disk wait, so the
    // times compare what the client and the cluster compute, not the disk of a shared machine.
    local = std::make_unique<EtcdCluster>(EtcdCluster::Options());
    for (int groups : {2000, 20000, LargeGroups()}) {
      const std::string text = bench_stores::ModuleTreeText(groups);
      text_bytes[groups] = text.size();
      local->PutStore(Prefix(groups), text);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "the etcd cluster cannot run: %s\n", error.what());
    return 1;
  }
  cluster = local.get();
  bench_stores::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("login / raw range read (JSON gateway) of 20000 groups: %.2f (goal at most 1.5)\n",
              reporter.Ratio("Login/20000", "RawRangeRead/20000"));
  std::printf("login / raw gRPC range read of 20000 groups: %.2f\n",
              reporter.Ratio("Login/20000", "RawGrpcRangeRead/20000"));
  std::printf("raw JSON gateway / raw gRPC range read of 20000 groups: %.2f\n",
              reporter.Ratio("RawRangeRead/20000", "RawGrpcRangeRead/20000"));
  std::printf("peak heap during login / INI text of 20000 groups: %.2f (goal at most 2)\n",
              reporter.Counter("Login/20000", "peak_per_text"));
  std::printf("peak heap during login / INI text of %d groups: %.2f (goal at most 2)\n",
              LargeGroups(),
              reporter.Counter("Login/" + std::to_string(LargeGroups()), "peak_per_text"));
  std::printf("write of one value, 20000 / 2000 groups: %.2f (goal at most 1.3)\n",
              reporter.Ratio("WriteOneValue/20000", "WriteOneValue/2000"));
  std::printf("etcdctl get (gRPC) / raw range read (JSON gateway) of 20000 groups: %.2f\n",
              reporter.Ratio("EtcdctlGet/20000", "RawRangeRead/20000"));
  const std::string large = std::to_string(LargeGroups());
  for (const std::string& groups : {std::string("20000"), large}) {
    std::printf(
        "qelreg get / etcdctl get --prefix, whole processes, %s groups: %.2f (goal at most "
        "1.2)\n",
        groups.c_str(), reporter.Ratio("QelregGet/" + groups, "EtcdctlGet/" + groups));
  }
  std::printf("qelreg copy of %s groups, peak memory / INI text (%.2f MB): %.2f (goal at most 2)\n",
              large.c_str(), static_cast<double>(text_bytes[LargeGroups()]) / 1e6,
              reporter.Counter("QelregCopy/" + large, "peak_per_text"));
  std::printf(
      "qelreg copy of %s groups, peak memory / that of qelreg get (its login alone): %.2f\n",
      large.c_str(),
      reporter.Counter("QelregCopy/" + large, "peak_MB") /
          reporter.Counter("QelregGet/" + large, "peak_MB"));
  return 0;
}
