// Drives the built qelreg binary as a user would, on copies of the bundled sample store: output,
// exit status, and the store file afterwards.
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_files.h"
#include "webdav_server.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class QelregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(store_, ReadWholeFile(QEL_SOURCE_DIR "/examples/sample.ini"));
    before_ = ReadWholeFile(store_);
    unsetenv("QEL_TRACE");
  }

  // Runs qelreg with `args` (none holds a single quote), standard input from /dev/null (so
  // never a terminal).
  Result Run(const std::vector<std::string>& args) const {
    std::string command = std::string("'") + QELREG_PATH + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " </dev/null >" + dir_.File("out") + " 2>" + dir_.File("err");
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(dir_.File("out")),
            ReadWholeFile(dir_.File("err"))};
  }

  // Runs qelreg on the copy of the sample store.
  Result OnStore(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--store", store_});
    return Run(args);
  }

  // Expects `r` to have failed with `status` and a message starting with `head` and ending with
  // `tail`, the store left as it was.
  void ExpectFailure(const Result& r, int status, const std::string& head,
                     const std::string& tail = "\n") const {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail) << r.err;
    EXPECT_EQ(ReadWholeFile(store_), before_);
  }

  ScratchDirectory dir_;
  const std::string store_ = dir_.File("sample.ini");
  std::string before_;
};

TEST_F(QelregTest, ReadingCommandsPrintAndLeaveTheStoreAlone) {
  // The component list is never part of a (key=*) listing.
  Result r = OnStore({"tree", "/ZOR_Software/qel4ds/Config"});
  EXPECT_EQ(r.status, 0) << r.err;
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

  const std::string ports = "/ZOR_Software/DataServer/Instances/inst01/Ports";
  EXPECT_EQ(OnStore({"get", ports, "replication"}).out, "7401\n7501\n");
  EXPECT_EQ(OnStore({"--json", "get", ports, "REPLICATION"}).out, "[\"7401\",\"7501\"]\n");
  EXPECT_EQ(OnStore({"--json", "values", ports, "l*"}).out, "{\"listen\":[\"5401\"]}\n");

  EXPECT_EQ(OnStore({"root", "dataserver"}).out,
            "module: dataserver\npath: /ZOR_Software/DataServer\n");
  r = OnStore({"--verify", "get", "/ZOR_Software/qel4ds/Config", "product-ver"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "9.0.21.100\n");
  r = Run({"version"});
  EXPECT_EQ(r.out.rfind("qelreg: ", 0), 0u);
  EXPECT_NE(r.out.find("zor-qel-rb-key: <<<VER_INFO>>>|zor-qel-rb-key|300|1|src\\qel_ver\n"),
            std::string::npos);
  EXPECT_EQ(ReadWholeFile(store_), before_);
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
  const std::string file = ReadWholeFile(store_);
  EXPECT_NE(file.find("[/App]\nname=demo\n"), std::string::npos) << file;
  // An added element is merged in order into the list.
  EXPECT_NE(file.find("[/App/Colors]\nlist=blue\x1bred\x1bgreen\x1b\n"), std::string::npos);
  EXPECT_EQ(file.find("languages="), std::string::npos);

  EXPECT_EQ(OnStore({"rm", "/App/Colors", "list", "red"}).status, 0);
  EXPECT_EQ(OnStore({"get", "/App/Colors", "list"}).out, "blue\ngreen\n");

  before_ = ReadWholeFile(store_);
  ExpectFailure(OnStore({"rmkey", "/ZOR_Software/DataServer"}), 1,
                "qelreg: rmkey /ZOR_Software/DataServer: not confirmed: no terminal to ask on, "
                "give --yes\n");
  EXPECT_EQ(OnStore({"rmkey", "--yes", "/ZOR_Software/DataServer"}).status, 0);
  const std::string after = ReadWholeFile(store_);
  EXPECT_EQ(after.find("[/ZOR_Software/DataServer"), std::string::npos);
  EXPECT_NE(after.find("[/ZOR_Software/Repositories]"), std::string::npos);
}

TEST_F(QelregTest, FailuresExplainAndLeaveTheStoreAlone) {
  ExpectFailure(OnStore({"get", "/No/Such", "x"}), 1,
                "qelreg: get /No/Such: ZORKVA0601E (code 158)\n");
  ExpectFailure(OnStore({"--json", "set", "/No/Such", "x", "1"}), 1,
                "{\"error\":\"ZORKVA0601E\",\"code\":158,\"command\":\"set /No/Such\"}\n");
  // A failing command undoes the whole call, the changes before it included.
  ExpectFailure(
      OnStore({"set", "/ZOR_Software", "vendor", "Other", "--then", "mkkey", "/ZOR_Software"}), 1,
      "qelreg: mkkey /ZOR_Software: ZORKVA0602E (code 159)\n");
  ExpectFailure(OnStore({"rm", "/ZOR_Software", "nosuch"}), 1,
                "qelreg: rm /ZOR_Software: ZORKVA0603E", "(code 160)\n");
  Result r = OnStore({"set", "/ZOR_Software", "vendor"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("VALUE is required"), std::string::npos) << r.err;
  EXPECT_EQ(OnStore({"frobnicate"}).status, 2);
  ExpectFailure(Run({"tree"}), 1,
                "qelreg: no store given: use --store FILE or --remote HOST[/PATH] --user USER\n");
  ExpectFailure(Run({"--remote", "localhost:1/store.ini", "--user", "admin", "tree"}), 1,
                "qelreg: no password for admin: set QEL_PASSWORD or run qelreg on a terminal\n");

  ExpectFailure(Run({"--store", dir_.File("missing.ini"), "tree"}), 1,
                "qelreg: cannot read " + dir_.File("missing.ini") +
                    ": No such file or directory\nqelreg: ZORKVA0533E ",
                "<the INI file does not exist> (code 158)\n");
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"err", "out", "sample.ini"}));

  // --verify refuses a store of another release.
  std::string text = before_;
  before_ = text.replace(text.find("product-ver=9.0.21.100"), 22, "product-ver=8.1.0");
  WriteWholeFile(store_, before_);
  ExpectFailure(OnStore({"--verify", "tree"}), 1, "qelreg: ZORKVA1113E ", "(code 1113)\n");
}

TEST_F(QelregTest, RemoteStoreNeedsTheRightPassword) {
  WebDavServer server;
  server.WriteFile("teams/store.ini", before_);
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
  EXPECT_EQ(server.ReadFile("teams/store.ini"), before_);

  setenv("QEL_PASSWORD", WebDavServer::kPassword, 1);
  r = Run(change);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(server.ReadFile("teams/store.ini").find("vendor=Remote Vendor\n"), std::string::npos);
  unsetenv("QEL_PASSWORD");
  unsetenv("QEL_REMOTE_CA_FILE");
}

TEST_F(QelregTest, APasswordInTheRemoteAddressIsNeverPrinted) {
  const std::string secret = "url-Secret-77";
  setenv("QEL_PASSWORD", "login-Secret-88", 1);
  // A well-formed address refused for its user information, and one refused as no address.
  for (const std::string port : {"1", "99999"}) {
    const std::string address = "https://admin:" + secret + "@127.0.0.1:" + port + "/store.ini";
    for (const std::vector<std::string>& flags : std::vector<std::vector<std::string>>{
             {}, {"--json"}, {"--trace"}, {"--json", "--trace"}}) {
      std::vector<std::string> args = flags;
      args.insert(args.end(), {"--remote", address, "--user", "admin", "tree"});
      const Result r = Run(args);
      EXPECT_EQ(r.status, 1) << r.err;
      const std::string printed = r.out + r.err;
      EXPECT_EQ(printed.find(secret), std::string::npos) << printed;
      EXPECT_EQ(printed.find("login-Secret-88"), std::string::npos) << printed;
      EXPECT_NE(printed.find("admin:***@127.0.0.1:" + port), std::string::npos) << printed;
    }
  }
  unsetenv("QEL_PASSWORD");
}

}  // namespace
