// The C interface's cost over the C++ one: the same value read through qel_key_get_value (with
// the list it returns released) and through QELRBKey::GetValue, taking turns in one run; the
// best pass of each is compared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <string>

#include <zor-qel-rb-key/qel.h>
#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "bench_stores.h"

namespace {

using bench_stores::NanosPerCall;

void BM_GetValueThroughC(benchmark::State& state) {
  bench_stores::ScratchDirectory directory;
  const std::string path = directory.Path() + "/store.ini";
  std::ofstream(path, std::ios::binary) << "[/Target]\nname=target\nport=5401\n"
                                        << "list=alpha\x1b"
                                           "beta\x1b"
                                           "gamma\x1b\n";
  QELConnection connection(QELConnection::INI);
  connection.Login(path, 0, "bench", "");
  const QELRBKey key("/Target", connection);
  qel_connection* c_connection = nullptr;
  qel_key* c_key = nullptr;
  if (qel_login("ini", path.c_str(), 0, "bench", "", &c_connection, nullptr) != QEL_OK ||
      qel_key_open(c_connection, "/Target", &c_key, nullptr) != QEL_OK) {
    state.SkipWithError("cannot open the store through the C interface");
    return;
  }
  const char* name = state.range(0) == 0 ? "PORT" : "LIST";
  // The best pass of each: other processes on the machine only ever add time.
  double cppNs = 1e18, cNs = 1e18;
  for (auto _ : state) {
    cppNs =
        std::min(cppNs, NanosPerCall(1000, [&] { benchmark::DoNotOptimize(key.GetValue(name)); }));
    cNs = std::min(cNs, NanosPerCall(1000, [&] {
                     qel_list* value = nullptr;
                     qel_key_get_value(c_key, name, &value, nullptr);
                     benchmark::DoNotOptimize(value);
                     qel_free(value);
                   }));
  }
  state.counters["c_ns"] = cNs;
  state.counters["cpp_ns"] = cppNs;
  state.counters["ratio"] = cNs / cppNs;
  qel_key_free(c_key);
  qel_connection_free(c_connection);
}
// 0: a one-element value; 1: a three-element list.
BENCHMARK(BM_GetValueThroughC)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
