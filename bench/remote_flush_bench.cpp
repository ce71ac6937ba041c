// Times a flush of a 20,000-group remote store to a local WebDAV server against the floor: the
// same PUT made by the curl command-line tool. Prints the ratio of the two after the runs.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_stores.h"
#include "remote_ini.h"
#include "webdav_server.h"

namespace {

constexpr int kGroups = 20000;

WebDavServer* server = nullptr;

void RemoteFlush(benchmark::State& state) {
  server->WriteFile("flush.ini", bench_stores::ModuleTreeText(kGroups));
  RemoteIni ini(server->HostPort(), "flush.ini", WebDavServer::kUser, WebDavServer::kPassword);
  ini.SetKeyValue("/ZOR_Software/Module0/Key0", "name", "warm-up");
  ini.FlushIniDataToFile("");  // the one-time If-Match probe stays out of the timing
  long round = 0;
  for (auto _ : state) {
    ini.SetKeyValue("/ZOR_Software/Module0/Key0", "name", "round " + std::to_string(++round));
    ini.FlushIniDataToFile("");
  }
}

// The floor: `curl -T` uploading the same bytes with the same TLS, CA and credentials.
void CurlPut(benchmark::State& state) {
  const bench_stores::ScratchDirectory directory;
  const std::string path = directory.Write("curl.ini", bench_stores::ModuleTreeText(kGroups));
  const std::string ca = server->CaFile();
  const std::string credentials = std::string(WebDavServer::kUser) + ":" + WebDavServer::kPassword;
  const std::string url = "https://" + server->HostPort() + "/curl.ini";
  std::vector<const char*> argv = {
      "curl", "-sS",        "--fail", "--cacert",  ca.c_str(),  "-u",   credentials.c_str(),
      "-T",   path.c_str(), "-o",     "/dev/null", url.c_str(), nullptr};
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      execvp(argv[0], const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the curl command failed (is the Debian package curl installed?)");
      break;
    }
  }
}

BENCHMARK(RemoteFlush)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CurlPut)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::unique_ptr<WebDavServer> local;
  try {
    local = std::make_unique<WebDavServer>();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "the WebDAV server cannot run: %s\n", error.what());
    return 1;
  }
  server = local.get();
  setenv("QEL_REMOTE_CA_FILE", server->CaFile().c_str(), 1);
  bench_stores::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ratio = reporter.Ratio("RemoteFlush", "CurlPut");
  if (ratio > 0) std::printf("remote flush / curl PUT of %d groups: %.2f\n", kGroups, ratio);
  return 0;
}
