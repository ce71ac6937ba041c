// Drives the built qelreg binary as a user would, on copies of the bundled sample store: output,
// exit status, and the store file afterwards.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "webdav_server.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class QelregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("qelreg_test_" + std::to_string(getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    store_ = dir_ / "sample.ini";
    fs::copy_file(fs::path(QEL_SOURCE_DIR) / "examples" / "sample.ini", store_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs qelreg with `args`, standard input from /dev/null (so never a terminal).
  Result Run(const std::vector<std::string>& args) const {
    const fs::path out = dir_ / "stdout";
    const fs::path err = dir_ / "stderr";
    const pid_t child = fork();
    if (child == 0) {
      const int in = open("/dev/null", O_RDONLY);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(QELREG_PATH)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      unsetenv("QEL_TRACE");
      execv(QELREG_PATH, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  }

  // Runs qelreg on the copy of the sample store.
  Result OnStore(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--store", store_.string()});
    return Run(args);
  }

  fs::path dir_;
  fs::path store_;
};

TEST_F(QelregTest, TreeListsSubkeysInStoreOrder) {
  Result r = OnStore({"tree", "/ZOR_Software/qel4ds/Config"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The component list is never part of a (key=*) listing.
  EXPECT_EQ(r.out,
            "/ZOR_Software/qel4ds/Config/Index\n/ZOR_Software/qel4ds/Config/Logging\n"
            "/ZOR_Software/qel4ds/Config/Trace\n");

  r = OnStore({"tree", "/ZOR_Software/Repositories", "--filter", "(repositoryname=MAIN)"});
  EXPECT_EQ(r.out, "/ZOR_Software/Repositories/d_rep_main\n");

  r = OnStore({"--json", "tree", "/ZOR_Software/DataServer/Instances/inst01", "-r"});
  EXPECT_EQ(r.out,
            "[\"/ZOR_Software/DataServer/Instances/inst01/Databases\","
            "\"/ZOR_Software/DataServer/Instances/inst01/Databases/audit\","
            "\"/ZOR_Software/DataServer/Instances/inst01/Databases/billing\","
            "\"/ZOR_Software/DataServer/Instances/inst01/Databases/sales\","
            "\"/ZOR_Software/DataServer/Instances/inst01/Ports\","
            "\"/ZOR_Software/DataServer/Instances/inst01/Users\"]\n");

  r = OnStore({"tree"});
  EXPECT_EQ(r.out, "/ZOR_Software\n");
}

TEST_F(QelregTest, GetAndValuesPrintListsOneElementPerLine) {
  const std::string ports = "/ZOR_Software/DataServer/Instances/inst01/Ports";
  Result r = OnStore({"get", ports, "replication"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "7401\n7501\n");

  r = OnStore({"get", ports});
  EXPECT_EQ(r.out, "admin: 6401\nlisten: 5401\nreplication: 7401\nreplication: 7501\n");

  r = OnStore({"--json", "get", ports, "REPLICATION"});
  EXPECT_EQ(r.out, "[\"7401\",\"7501\"]\n");

  r = OnStore({"values", ports, "*i*"});
  EXPECT_EQ(r.out, "admin: 6401\nlisten: 5401\nreplication: 7401\nreplication: 7501\n");
  r = OnStore({"--json", "values", ports, "l*"});
  EXPECT_EQ(r.out, "{\"listen\":[\"5401\"]}\n");
}

TEST_F(QelregTest, ChangesInOneCallAreWrittenTogether) {
  const Result r = OnStore({"mkkey",    "/App/Colors", "--then",
                            "set",      "/App/Colors", "list",
                            "red",      "green",       "--then",
                            "add",      "/App/Colors", "list",
                            "blue",     "--then",      "set",
                            "/App",     "name",        "demo",
                            "--then",   "rm",          "/ZOR_Software/qel4ds/Config",
                            "languages"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string file = ReadFile(store_);
  EXPECT_NE(file.find("[/App]\n"), std::string::npos);
  EXPECT_NE(file.find("name=demo\n"), std::string::npos);
  // An added element is merged in order into the list.
  EXPECT_NE(file.find("[/App/Colors]\nlist=blue\x1bred\x1bgreen\x1b\n"), std::string::npos);
  EXPECT_EQ(file.find("languages="), std::string::npos);

  EXPECT_EQ(OnStore({"get", "/App/Colors", "list"}).out, "blue\nred\ngreen\n");
  EXPECT_EQ(OnStore({"rm", "/App/Colors", "list", "red"}).status, 0);
  EXPECT_EQ(OnStore({"get", "/App/Colors", "list"}).out, "blue\ngreen\n");
}

TEST_F(QelregTest, RemoveKeyNeedsConfirmation) {
  const std::string before = ReadFile(store_);
  Result r = OnStore({"rmkey", "/ZOR_Software/DataServer"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "qelreg: rmkey /ZOR_Software/DataServer: not confirmed: no terminal to ask on, give "
            "--yes\n");
  EXPECT_EQ(ReadFile(store_), before);

  r = OnStore({"rmkey", "--yes", "/ZOR_Software/DataServer"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string after = ReadFile(store_);
  EXPECT_EQ(after.find("[/ZOR_Software/DataServer"), std::string::npos);
  EXPECT_NE(after.find("[/ZOR_Software/Repositories]"), std::string::npos);
}

TEST_F(QelregTest, RootAndVersion) {
  Result r = OnStore({"root", "dataserver"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "module: dataserver\npath: /ZOR_Software/DataServer\n");
  r = OnStore({"--json", "root", "Scheduler"});
  EXPECT_EQ(r.out, "{\"module\":\"Scheduler\",\"path\":\"/ZOR_Software/Scheduler\"}\n");

  r = Run({"version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("qelreg: ", 0), 0u);
  EXPECT_NE(r.out.find("zor-qel-rb-key: <<<VER_INFO>>>|zor-qel-rb-key|300|1|src\\qel_ver\n"),
            std::string::npos);

  r = OnStore({"--verify", "get", "/ZOR_Software/qel4ds/Config", "product-ver"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "9.0.21.100\n");
}

TEST_F(QelregTest, FailuresExplainAndLeaveTheStoreAlone) {
  const std::string before = ReadFile(store_);

  Result r = OnStore({"get", "/No/Such", "x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qelreg: get /No/Such: ZORKVA0601E (code 158)\n");
  r = OnStore({"--json", "set", "/No/Such", "x", "1"});
  EXPECT_EQ(r.err, "{\"error\":\"ZORKVA0601E\",\"code\":158,\"command\":\"set /No/Such\"}\n");

  // A failing command undoes the whole call, the changes before it included.
  r = OnStore({"set", "/ZOR_Software", "vendor", "Other", "--then", "mkkey", "/ZOR_Software"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qelreg: mkkey /ZOR_Software: ZORKVA0602E (code 159)\n");

  r = OnStore({"get", "/ZOR_Software", "nosuch"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qelreg: get /ZOR_Software: ZORKVA0603E", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("(code 160)\n"), std::string::npos) << r.err;
  EXPECT_EQ(OnStore({"rm", "/ZOR_Software", "nosuch"}).status, 1);

  r = OnStore({"root", "Legacy"});
  EXPECT_EQ(r.err, "qelreg: root Legacy: ZORKVA0601E (code 158)\n");

  r = OnStore({"set", "/ZOR_Software", "vendor"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("VALUE is required"), std::string::npos) << r.err;
  EXPECT_EQ(OnStore({"frobnicate"}).status, 2);
  EXPECT_EQ(Run({"tree"}).err,
            "qelreg: no store given: use --store FILE or --remote HOST[/PATH] --user USER\n");

  EXPECT_EQ(ReadFile(store_), before);

  r = Run({"--store", (dir_ / "missing.ini").string(), "tree"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ZORKVA0533E"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(code 158)\n"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "missing.ini"));

  r = Run({"--remote", "localhost:1/store.ini", "tree"});
  EXPECT_EQ(r.err, "qelreg: --remote needs --user\n");
  r = Run({"--remote", "localhost:1/store.ini", "--user", "admin", "tree"});
  EXPECT_EQ(r.err, "qelreg: no password for admin: set QEL_PASSWORD or run qelreg on a terminal\n");
}

TEST_F(QelregTest, VerifyRefusesAStoreOfAnotherRelease) {
  std::string text = ReadFile(store_);
  text.replace(text.find("product-ver=9.0.21.100"), 22, "product-ver=8.1.0");
  std::ofstream(store_, std::ios::binary | std::ios::trunc) << text;

  Result r = OnStore({"--verify", "tree"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ZORKVA1113E"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(code 1113)\n"), std::string::npos) << r.err;
  EXPECT_EQ(OnStore({"tree"}).status, 0);
  EXPECT_EQ(ReadFile(store_), text);
}

TEST_F(QelregTest, RemoteStoreNeedsTheRightPassword) {
  WebDavServer server;
  const std::string before = ReadFile(store_);
  server.WriteFile("teams/store.ini", before);
  setenv("QEL_REMOTE_CA_FILE", server.CaFile().c_str(), 1);
  const std::vector<std::string> change{"--remote", server.HostPort() + "/teams/store.ini",
                                        "--user",   WebDavServer::kUser,
                                        "set",      "/ZOR_Software",
                                        "vendor",   "Remote Vendor"};

  setenv("QEL_PASSWORD", "not-the-password", 1);
  Result r = Run(change);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("(code -7)\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not-the-password"), std::string::npos) << r.err;
  EXPECT_EQ(server.ReadFile("teams/store.ini"), before);

  setenv("QEL_PASSWORD", WebDavServer::kPassword, 1);
  r = Run(change);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(server.ReadFile("teams/store.ini").find("vendor=Remote Vendor\n"), std::string::npos);
  unsetenv("QEL_PASSWORD");
  unsetenv("QEL_REMOTE_CA_FILE");
}

TEST_F(QelregTest, HelpForEveryCommand) {
  for (const char* command :
       {"tree", "get", "set", "add", "rm", "mkkey", "rmkey", "values", "root", "version"}) {
    const Result r = Run({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find(command), std::string::npos) << command;
  }
  const Result r = Run({"--help"});
  EXPECT_NE(r.out.find("--then"), std::string::npos);
}

}  // namespace
