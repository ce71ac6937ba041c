// Drives the built qelreg binary as a user would, on copies of the bundled sample store: output,
// exit status, messages, and the store file afterwards.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_files.h"
#include "test_system.h"
#include "webdav_server.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

const std::string kPorts = "/ZOR_Software/DataServer/Instances/inst01/Ports";

class QelregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(store_, ReadWholeFile(QEL_SOURCE_DIR "/examples/sample.ini"));
    before_ = ReadWholeFile(store_);
    UnsetEnvironment("QEL_TRACE");
    UnsetEnvironment("QEL_LOG_FILE");
    UnsetEnvironment("QEL_STORE");
  }

  // Runs qelreg with `args`, standard input from the file `in` (by default the null device, so
  // never a terminal).
  Result Run(const std::vector<std::string>& args, const std::string& in = "") const {
    const int status = RunProgram(QELREG_PATH, args, in, dir_.File("out"), dir_.File("err"));
    return {status, ReadWholeFile(dir_.File("out")), ReadWholeFile(dir_.File("err"))};
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
  // tree lists every key beneath, the component list too; --select applies the selector.
  const std::string config = "/ZOR_Software/qel4ds/Config";
  const std::string keys = config + "/Index\n" + config + "/Logging\n" + config + "/Trace\n" +
                           config + "/component_info\n";
  EXPECT_EQ(OnStore({"tree", config}).out, keys);
  EXPECT_EQ(OnStore({"tree", "/ZOR_Software/qel4ds"}).out, config + "\n" + keys);
  EXPECT_EQ(OnStore({"tree", "/ZOR_Software/qel4ds", "--children"}).out, config + "\n");
  EXPECT_EQ(OnStore({"tree", config, "--select", "(key=*)"}).out,
            keys.substr(0, keys.rfind(config)));
  EXPECT_EQ(OnStore({"tree", "/ZOR_Software/Repositories", "-f", "(repositoryname=MAIN)"}).out,
            "/ZOR_Software/Repositories/d_rep_main\n");
  const std::string inst = "/ZOR_Software/DataServer/Instances/inst01";
  EXPECT_EQ(OnStore({"tree", inst + "/Databases", "--values"}).out,
            inst + "/Databases/audit\n  backup: none\n  charset: latin1\n  size_mb: 82024\n" +
                inst + "/Databases/billing\n  backup: none\n  charset: utf8\n  size_mb: 68768\n" +
                inst + "/Databases/sales\n  backup: nightly\n  charset: utf8\n  size_mb: 74354\n");
  EXPECT_EQ(OnStore({"--json", "tree", inst, "-c", "--values"}).out,
            "{\"" + inst + "/Databases\":{\"list\":[\"sales\",\"billing\",\"audit\"]},\"" + inst +
                "/Ports\":{\"admin\":[\"6401\"],\"listen\":[\"5401\"],\"replication\":[\"7401\","
                "\"7501\"]},\"" +
                inst +
                "/Users\":{\"admins\":[\"dba\",\"ops\"],\"readers\":[\"dev\",\"eric\","
                "\"anna\"]}}\n");

  EXPECT_EQ(OnStore({"get", kPorts, "replication"}).out, "7401\n7501\n");
  EXPECT_EQ(OnStore({"--json", "get", kPorts, "REPLICATION"}).out, "[\"7401\",\"7501\"]\n");
  EXPECT_EQ(OnStore({"--json", "values", kPorts, "l*"}).out, "{\"listen\":[\"5401\"]}\n");
  // --default stands in for a missing key or value, never for a present one.
  EXPECT_EQ(OnStore({"get", kPorts, "listen", "--default", "1"}).out, "5401\n");
  for (const std::string& path : {kPorts, std::string("/No/Such"), std::string("/")}) {
    const Result r = OnStore({"get", path, "nosuch", "--default", "none"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "none\n");
  }
  // The root key holds no values.
  EXPECT_EQ(OnStore({"get", "/"}).out, "");
  EXPECT_EQ(OnStore({"--json", "values", "/"}).out, "{}\n");

  EXPECT_EQ(OnStore({"root", "dataserver"}).out,
            "module: dataserver\npath: /ZOR_Software/DataServer\n");
  Result r = OnStore({"--verify", "get", config, "product-ver"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "9.0.21.100\n");
  r = Run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("qelreg 3.", 0), 0u) << r.out;
  EXPECT_EQ(ReadWholeFile(store_), before_);
}

TEST_F(QelregTest, ChangesInOneCallAreWrittenTogether) {
  const Result r = OnStore({"mkkey",       "-p",
                            "/App/Colors", "--then",
                            "set",         "/App/Colors",
                            "list",        "red",
                            "green",       "--then",
                            "add",         "/App/Colors",
                            "list",        "blue",
                            "--then",      "set",
                            "/App",        "name",
                            "demo",        "--then",
                            "rm",          "/ZOR_Software/qel4ds/Config",
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
  // After -- every argument is a value, --then and options included.
  EXPECT_EQ(OnStore({"set", "/App", "flags", "x", "--", "--then", "-y", "--json"}).status, 0);
  EXPECT_EQ(OnStore({"get", "/App", "flags"}).out, "x\n--then\n-y\n--json\n");
  // Brackets are no list syntax: a list is several arguments, each stored as typed.
  EXPECT_EQ(OnStore({"set", "/App", "one", "[a,b]"}).status, 0);
  EXPECT_EQ(OnStore({"set", "/App", "two", "[x]", "[0-9]"}).status, 0);
  EXPECT_EQ(OnStore({"--json", "values", "/App", "[ot]*"}).out,
            "{\"one\":[\"[a,b]\"],\"two\":[\"[x]\",\"[0-9]\"]}\n");

  // mkkey -p accepts an existing key; without -p the keys above must exist and the key not.
  before_ = ReadWholeFile(store_);
  EXPECT_EQ(OnStore({"mkkey", "-p", "/App/Colors"}).status, 0);
  ExpectFailure(OnStore({"mkkey", "/App/Colors"}), 1,
                "qelreg: mkkey: store " + store_ +
                    ", key /App/Colors: ZORKVA0602E The subkey or list element already exists. "
                    "(code 159)\n");
  ExpectFailure(OnStore({"mkkey", "/Other/Colors"}), 3,
                "qelreg: mkkey: store " + store_ +
                    ", key /Other/Colors: the key /Other above it does not exist (mkkey -p "
                    "creates missing keys)\n");

  ExpectFailure(OnStore({"rmkey", "/ZOR_Software/DataServer"}), 1,
                "qelreg: rmkey: store " + store_ +
                    ", key /ZOR_Software/DataServer: not confirmed: no terminal to ask on, give "
                    "--yes\n");
  EXPECT_EQ(OnStore({"rmkey", "--yes", "/ZOR_Software/DataServer"}).status, 0);
  const std::string after = ReadWholeFile(store_);
  EXPECT_EQ(after.find("[/ZOR_Software/DataServer"), std::string::npos);
  EXPECT_NE(after.find("[/ZOR_Software/Repositories]"), std::string::npos);
}

TEST_F(QelregTest, ExportWritesTheStoresFormatAndImportMergesItBack) {
  EXPECT_EQ(OnStore({"export", kPorts}).out,
            "[" + kPorts + "]\nadmin=6401\nlisten=5401\nreplication=7401\x1b" + "7501\x1b\n");
  EXPECT_EQ(OnStore({"--json", "export", kPorts}).out,
            "{\"" + kPorts +
                "\":{\"admin\":[\"6401\"],\"listen\":[\"5401\"],\"replication\":[\"7401\","
                "\"7501\"]}}\n");

  // Names and values that would not read back raw are quoted as the store quotes them.
  const std::string created = dir_.File("created.ini");
  Result r = Run({"--store", created, "--create", "mkkey",  "-p",      "/Q/R",   "--then", "set",
                  "/Q/R",    "a=b",   "1",        "--then", "set",     "/Q/R",   "pad",    " x ",
                  "--then",  "set",   "/Q/R",     "quote",  "\"q\\\"", "--then", "set",    "/Q/R",
                  "lines",   "1\n2",  "--then",   "set",    "/Q/R",    "empty",  ""});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string quoted =
      "[/Q/R]\n\"a=b\"=1\nempty=\nlines=\"1\\n2\"\npad=\" x \"\nquote=\"\\\"q\\\\\\\"\"\n";
  EXPECT_EQ(Run({"--store", created, "export", "/Q/R"}).out, quoted);

  // The whole store goes through export and import unchanged, into a store made for it.
  const std::string whole =
      Run({"--store", created, "export"}).out + "\n" + OnStore({"export"}).out;
  WriteWholeFile(dir_.File("whole.ini"), whole);
  const std::string copy = dir_.File("copy.ini");
  r = Run({"--store", copy, "--create", "import", dir_.File("whole.ini")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "imported 356 keys (356 new) and 960 values from " + dir_.File("whole.ini") + "\n");
  EXPECT_EQ(Run({"--store", copy, "export"}).out, whole);

  // An import sets values and creates keys; it deletes nothing. Standard input works as FILE.
  WriteWholeFile(dir_.File("in.ini"),
                 "; changes\n[/ZOR_Software]\nvendor=Imported\n\n[/New/Deep]\nlist=a\x1b"
                 "b\x1b\n");
  r = Run({"--json", "--store", store_, "import", "-"}, dir_.File("in.ini"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"keys\":2,\"created\":1,\"values\":2}\n");
  EXPECT_EQ(OnStore({"get", "/ZOR_Software"}).out,
            "contact: it-config@zor.example\ninstalldir: /opt/zor\nvendor: Imported\n");
  EXPECT_EQ(OnStore({"get", "/New/Deep", "list"}).out, "a\nb\n");

  // A file the library cannot read, or with groups that are no keys, changes nothing.
  before_ = ReadWholeFile(store_);
  const std::string bad = dir_.File("bad.ini");
  const std::string head = "qelreg: import: store " + store_ + ", file " + bad + ": ";
  WriteWholeFile(bad, "[/A]\nx=1\n[Settings]\ny=2\n");
  ExpectFailure(OnStore({"import", bad}), 1,
                head + "line 3: the group [Settings] does not name a key (a path such as /A/B)\n");
  WriteWholeFile(bad, "x=1\n[/A]\n");
  ExpectFailure(OnStore({"import", bad}), 1,
                head + "line 1: an entry before the first group belongs to no key\n");
  // Names no command could address are refused before anything is written, by their line.
  const std::vector<std::pair<std::string, std::string>> unaddressable = {
      {"[/a/../b]", "the group [/a/../b] has the key name '..'"},
      {"[/a/./b]", "the group [/a/./b] has the key name '.'"},
      {"[/..]", "the group [/..] has the key name '..'"},
      {"[/a//b]", "the group [/a//b] has an empty key name"},
      {"[/a/]", "the group [/a/] has an empty key name"},
      {"[\"/a/\\x00b\"]", "the group's key path holds a NUL byte"},
      {std::string("[/a/\0b]", 7), "the group's key path holds a NUL byte"},
      {"[/a]\n\"x\\x00\"=1", "the value name holds a NUL byte"},
      {std::string("[/a]\nx\0=1", 9), "the value name holds a NUL byte"},
  };
  for (const auto& [text, message] : unaddressable) {
    WriteWholeFile(bad, "[/Fine]\nx=1\n\n" + text + "\ny=2\n");
    const size_t line = 4 + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    ExpectFailure(OnStore({"import", bad}), 1,
                  head + "line " + std::to_string(line) + ": " + message + "\n");
  }
  WriteWholeFile(bad, "[/A]\nx\n");
  ExpectFailure(OnStore({"import", bad}), 1,
                head + "ZORKVA0533E cannot load INI file " + bad + ", line 2: ", "(code 158)\n");
  // Read from standard input, the file is named so too, not by the copy the library reads.
  ExpectFailure(Run({"--store", store_, "import", "-"}, bad), 1,
                "qelreg: import: store " + store_ +
                    ", file standard input: ZORKVA0533E cannot load INI file standard input, line "
                    "2: ",
                "(code 158)\n");
  ExpectFailure(OnStore({"import", dir_.File("none.ini")}), 1,
                "qelreg: import: store " + store_ + ", file " + dir_.File("none.ini") +
                    ": ZORKVA0533E cannot read " + dir_.File("none.ini") +
                    ": No such file or directory (code 158)\n");
}

TEST_F(QelregTest, FailuresNameTheirContextOnOneLineWithDistinctExitStatuses) {
  const std::string head = "qelreg: get: store " + store_ + ", key ";
  ExpectFailure(OnStore({"get", "/No/Such", "x"}), 3,
                head + "/No/Such, value x: ZORKVA0601E The key does not exist. (code 158)\n");
  ExpectFailure(OnStore({"get", "/ZOR_Software", "nosuch"}), 3,
                head +
                    "/ZOR_Software, value nosuch: ZORKVA0603E The key holds no value (nosuch) "
                    ": /ZOR_Software (code 160)\n");
  ExpectFailure(OnStore({"get", "/", "x"}), 3, head + "/, value x: the root key holds no values\n");
  ExpectFailure(OnStore({"--json", "add", "/No/Such", "x", "1"}), 3,
                "{\"error\":{\"message\":\"ZORKVA0601E The key does not exist.\",\"code\":158,"
                "\"exit\":3,\"command\":\"add\",\"store\":\"" +
                    store_ + "\",\"file\":null,\"key\":\"/No/Such\",\"value\":\"x\"}}\n");
  // A failing command undoes the whole call, the changes before it included.
  ExpectFailure(
      OnStore({"set", "/ZOR_Software", "vendor", "Other", "--then", "mkkey", "/ZOR_Software"}), 1,
      "qelreg: mkkey: store " + store_ + ", key /ZOR_Software: ZORKVA0602E ", "(code 159)\n");

  // Wrong arguments: exit status 2, the same JSON shape.
  ExpectFailure(OnStore({"set", "/ZOR_Software", "vendor"}), 2,
                "qelreg: set: VALUE is required (see 'qelreg set --help')\n");
  ExpectFailure(OnStore({"frob"}), 2, "qelreg: unknown command 'frob' (see 'qelreg --help')\n");
  ExpectFailure(OnStore({"--json"}), 2,
                "{\"error\":{\"message\":\"no command given (see 'qelreg --help')\",\"code\":null,"
                "\"exit\":2,\"command\":null,\"store\":null,\"file\":null,\"key\":null,"
                "\"value\":null}}\n");
  ExpectFailure(OnStore({"set", "/", "x", "1"}), 2,
                "qelreg: set: the root key holds no values (see 'qelreg set --help')\n");
  ExpectFailure(OnStore({"get", "/A", "--default", "1"}), 2, "qelreg: get: --default needs");
  ExpectFailure(Run({"--remote", "localhost:1/store.ini", "--user", "admin", "tree"}), 1,
                "qelreg: store localhost:1/store.ini: no password for admin: set QEL_PASSWORD or "
                "run qelreg on a terminal\n");

  // A store that cannot be opened: the cause, no time stamp, the code once.
  const std::string missing = dir_.File("missing.ini");
  ExpectFailure(Run({"--store", missing, "tree"}), 1,
                "qelreg: store " + missing + ": ZORKVA0533E cannot read " + missing +
                    ": No such file or directory (code 158)\n");
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"err", "out", "sample.ini"}));
  // --verify refuses a store of another release.
  std::string text = before_;
  before_ = text.replace(text.find("product-ver=9.0.21.100"), 22, "product-ver=8.1.0");
  WriteWholeFile(store_, before_);
  ExpectFailure(OnStore({"--verify", "tree"}), 1, "qelreg: store " + store_ + ": ZORKVA1113E ",
                "(code 1113)\n");
}

TEST_F(QelregTest, StoresFromStandardInputAndStoresCreatedOnTheFirstWrite) {
  Result r = Run({"--store", "-", "get", kPorts, "listen"}, store_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "5401\n");
  ExpectFailure(Run({"--store", "-", "set", kPorts, "listen", "1"}, store_), 2,
                "qelreg: the store read from standard input (--store -) is read-only");

  // --create makes the file when the call writes and succeeds.
  const std::string created = dir_.File("new.ini");
  ExpectFailure(Run({"--store", created, "--create", "get", "/A", "x"}), 1,
                "qelreg: store " + created + ": ZORKVA0533E cannot read");
  ExpectFailure(Run({"--store", created, "--create", "mkkey", "/A/B"}), 3,
                "qelreg: mkkey: store " + created + ", key /A/B: the key /A above");
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"err", "out", "sample.ini"}));
  r = Run({"--store", created, "--create", "mkkey", "-p", "/A", "--then", "set", "/A", "x", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(created), "[/A]\nx=1\n");
}

TEST_F(QelregTest, AStackShowsWhereEachValueComesFromAndOneLayerCanBeWorkedOnAlone) {
  const std::string site = dir_.File("site.ini");
  const std::string host = dir_.File("host.ini");
  WriteWholeFile(site, "; the site's\n[" + kPorts + "]\nadmin=6500\n");
  WriteWholeFile(host, "");
  const std::string stack = "layers:" + store_ + "|" + site + "|" + host;
  ASSERT_EQ(Run({"--store", stack, "set", kPorts, "listen", "5402"}).status, 0);
  EXPECT_EQ(Run({"--store", stack, "get", "--show-origin", kPorts, "admin"}).out,
            site + ":3\t6500\n");
  const Result tree =
      Run({"--store", stack, "tree", "--show-origin", kPorts.substr(0, kPorts.rfind('/'))});
  EXPECT_NE(tree.out.find("  " + host + ":2\tlisten: 5402\n"), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("  " + site + ":3\tadmin: 6500\n"), std::string::npos) << tree.out;
  EXPECT_EQ(Run({"--store", stack, "--layer", "1", "get", kPorts, "listen"}).out, "5401\n");
  EXPECT_EQ(ReadWholeFile(store_), before_);
  ExpectFailure(Run({"--store", stack, "--layer", "4", "tree"}), 2,
                "qelreg: the stack has no layer 4");
}

TEST_F(QelregTest, KeysAndValuesOutsideAsciiPassThroughTheCommandLineUnchanged) {
  // UTF-8 "Café", "straße" and "東京 ü".
  const std::string key = "/ZOR_Software/Caf\xC3\xA9";
  const std::string name = std::string("stra\xC3\x9F") + "e";
  const std::string value = "\xE6\x9D\xB1\xE4\xBA\xAC \xC3\xBC";
  Result r = OnStore({"mkkey", key, "--then", "set", key, name, value});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadWholeFile(store_).find("[" + key + "]\n" + name + "=" + value + "\n"),
            std::string::npos);
  EXPECT_EQ(OnStore({"get", key, name}).out, value + "\n");
}

TEST_F(QelregTest, TraceAndLogFileFollowTheEnvironment) {
  SetEnvironment("QEL_TRACE", "1");
  Result r = OnStore({"get", kPorts, "listen"});
  EXPECT_EQ(r.out, "5401\n");
  EXPECT_NE(r.err.find(" sev=1 [rb_key] QELConnection::Login: ZORKVA0551I"), std::string::npos)
      << r.err;

  // The records go to QEL_LOG_FILE instead: errors always, trace records when tracing.
  const std::string log = dir_.File("qel.log");
  SetEnvironment("QEL_LOG_FILE", log);
  r = OnStore({"get", kPorts, "listen"});
  EXPECT_EQ(r.err, "");
  EXPECT_NE(ReadWholeFile(log).find(" sev=1 [rb_key] QELConnection::Login: "), std::string::npos);
  UnsetEnvironment("QEL_TRACE");
  WriteWholeFile(log, "");
  r = Run({"--store", dir_.File("missing.ini"), "tree"});
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  const std::string logged = ReadWholeFile(log);
  EXPECT_NE(logged.find(" sev=5 [ldap_key] QELIniConnection::Login: ZORKVA0533E"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find("<cannot read "), std::string::npos) << logged;
  EXPECT_EQ(logged.find(" sev=1 "), std::string::npos) << logged;
  UnsetEnvironment("QEL_LOG_FILE");
}

// The store from the environment, the words tracing takes, selectors, versions and keys that set
// may create: each call with its environment, its exit status and what its output must hold.
TEST_F(QelregTest, EnvironmentSelectorsVersionsAndSetOnMissingKeys) {
  const std::string missing = dir_.File("missing.ini");
  const struct {
    const char* store;  // QEL_STORE, "" for unset; "STORE" for the sample's copy
    const char* trace;  // QEL_TRACE, "" for unset
    std::vector<std::string> args;
    int status;
    std::string out;  // what standard output holds
    std::string err;  // what standard error holds, "" for nothing at all
  } calls[] = {
      {"STORE", "", {"get", kPorts, "listen"}, 0, "5401\n", ""},
      {"MISSING", "", {"--store", store_, "get", kPorts, "listen"}, 0, "5401\n", ""},
      {"MISSING", "", {"get", kPorts, "listen"}, 1, "", "cannot read " + missing},
      {"", "", {"get", kPorts, "listen"}, 2, "", "or set QEL_STORE"},
      {"STORE", "yes", {"get", kPorts, "listen"}, 0, "5401\n", " sev=1 "},
      {"STORE", "TRUE", {"get", kPorts, "listen"}, 0, "5401\n", " sev=1 "},
      {"STORE", "on", {"get", kPorts, "listen"}, 0, "5401\n", " sev=1 "},
      {"STORE", "1", {"get", kPorts, "listen"}, 0, "5401\n", " sev=1 "},
      {"STORE", "no", {"get", kPorts, "listen"}, 0, "5401\n", ""},
      {"STORE",
       "",
       {"tree", "/", "--select", "garbage"},
       2,
       "",
       "tree: unknown selector 'garbage'"},
      {"STORE", "", {"tree", "/", "-s", "*"}, 2, "", "unknown selector '*'"},
      {"STORE", "", {"tree", "/ZOR_Software/Repositories", "-s", "d_rep*"}, 0, "d_rep_main", ""},
      {"", "", {"version"}, 0, "zor-qel-rb-key: 300 (build 1)\n", ""},
      {"STORE", "", {"set", "/No/Such", "x", "1"}, 3, "", "set -p, which creates it"},
      {"STORE",
       "",
       {"set", "-p", "/No/Such", "x", "1", "--then", "get", "/No/Such", "x"},
       0,
       "1\n",
       ""},
  };
  for (const auto& call : calls) {
    const std::string store = call.store;
    if (store.empty()) {
      UnsetEnvironment("QEL_STORE");
    } else {
      SetEnvironment("QEL_STORE", store == "STORE" ? store_ : missing);
    }
    if (*call.trace == '\0') {
      UnsetEnvironment("QEL_TRACE");
    } else {
      SetEnvironment("QEL_TRACE", call.trace);
    }
    const Result r = Run(call.args);
    const std::string what = call.args.front() + " " + call.args.back() + " " + call.trace;
    EXPECT_EQ(r.status, call.status) << what << ": " << r.err;
    EXPECT_NE(r.out.find(call.out), std::string::npos) << what << ": " << r.out;
    EXPECT_EQ(r.out.find("<<<"), std::string::npos) << what << ": " << r.out;
    if (call.err.empty()) {
      EXPECT_EQ(r.err, "") << what;
    } else {
      EXPECT_NE(r.err.find(call.err), std::string::npos) << what << ": " << r.err;
    }
  }
  UnsetEnvironment("QEL_STORE");
  UnsetEnvironment("QEL_TRACE");
  EXPECT_NE(ReadWholeFile(store_).find("[/No/Such]\nx=1\n"), std::string::npos);
}

TEST_F(QelregTest, RemoteStoreNeedsTheRightPassword) {
  WebDavServer server;
  server.WriteFile("teams/store.ini", before_);
  SetEnvironment("QEL_REMOTE_CA_FILE", server.CaFile());
  const std::string remote = server.HostPort() + "/teams/store.ini";
  const std::vector<std::string> change{"--remote", remote,          "--user", WebDavServer::kUser,
                                        "set",      "/ZOR_Software", "vendor", "Remote Vendor"};
  SetEnvironment("QEL_PASSWORD", "not-the-password");
  Result r = Run(change);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qelreg: store " + remote + ": ZORKVA0533E ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("(code -7)\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not-the-password"), std::string::npos) << r.err;
  EXPECT_EQ(server.ReadFile("teams/store.ini"), before_);

  SetEnvironment("QEL_PASSWORD", WebDavServer::kPassword);
  r = Run(change);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(server.ReadFile("teams/store.ini").find("vendor=Remote Vendor\n"), std::string::npos);
  UnsetEnvironment("QEL_PASSWORD");
  UnsetEnvironment("QEL_REMOTE_CA_FILE");
}

TEST_F(QelregTest, APasswordInTheRemoteAddressIsNeverPrinted) {
  const std::string secret = "url-Secret-77";
  SetEnvironment("QEL_PASSWORD", "login-Secret-88");
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
  UnsetEnvironment("QEL_PASSWORD");
}

TEST_F(QelregTest, NoOutputShowsThePasswordOfAStoreAddress) {
  const std::string secret = "url-Secret-77";
  SetEnvironment("QEL_PASSWORD", "login-Secret-88");
  WriteWholeFile(dir_.File("in.ini"), "[/A]\nx=1\n");
  // Every way a call names a store or a file, with each kind of command: reading, writing (which
  // --create may make a file for), importing, watching.
  for (const char* scheme : {"https", "etcds"}) {
    const std::string address = std::string(scheme) + "://admin:" + secret + "@127.0.0.1:1/s.ini";
    std::vector<std::vector<std::string>> calls = {
        {"--user", "admin", "copy", address, dir_.File("copy.ini")},
        {"--user", "admin", "copy", store_, address},
        {"--user", "admin", "copy", store_, address, "--batch", "5"},
        {"--store", store_, "import", address},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"tree"},
        {"set", "/A", "x", "1"},
        {"import", dir_.File("in.ini")},
        {"watch", "/A"},
    };
    for (const std::vector<std::string>& store :
         std::vector<std::vector<std::string>>{{"--store", address},
                                               {"--store", address, "--create"},
                                               {"--remote", address, "--user", "admin"}}) {
      for (const std::vector<std::string>& command : commands) {
        std::vector<std::string> call = store;
        call.insert(call.end(), command.begin(), command.end());
        calls.push_back(call);
      }
    }
    for (const std::vector<std::string>& call : calls) {
      for (const std::vector<std::string>& flags :
           std::vector<std::vector<std::string>>{{}, {"--json", "--trace"}}) {
        std::vector<std::string> args = flags;
        args.insert(args.end(), call.begin(), call.end());
        const Result r = Run(args);
        const std::string printed = r.out + r.err;
        std::string called;
        for (const std::string& arg : args) called += " " + arg;
        const std::string context =
            "qelreg" + called + ": status " + std::to_string(r.status) + ", printed: " + printed;
        EXPECT_NE(r.status, 0) << context;
        EXPECT_EQ(printed.find(secret), std::string::npos) << context;
        EXPECT_EQ(printed.find("login-Secret-88"), std::string::npos) << context;
        EXPECT_NE(printed.find("admin:***@"), std::string::npos) << context;
      }
    }
  }
  EXPECT_EQ(ReadWholeFile(store_), before_);
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"err", "in.ini", "out", "sample.ini"}));
  UnsetEnvironment("QEL_PASSWORD");
}

// A stored text with bytes after its last 0x1B (as an escape or a raw byte): check lists it, and
// import and copy refuse a source holding one instead of storing it cut short.
TEST_F(QelregTest, CheckListsTruncatedValuesAndImportAndCopyRefuseThem) {
  for (const std::string& line : {std::string("k=\"a\\x1bb\"\n"), std::string("k=a\x1b"
                                                                              "b\n")}) {
    SCOPED_TRACE(line);
    const std::string source = dir_.File("source.ini");
    WriteWholeFile(source, "[/I]\nfine=x\x1by\x1b\n" + line);
    const Result check = Run({"--store", source, "check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "/I: k\n");

    WriteWholeFile(store_, "[/Kept]\n");
    before_ = "[/Kept]\n";
    ExpectFailure(OnStore({"import", source}), 1,
                  "qelreg: import: store " + store_ + ", file " + source +
                      ", key /I, value k: ZORKVA0611E The value k cannot be stored",
                  "(code 168)\n");

    const Result copy = Run({"copy", source, dir_.File("copy.ini")});
    EXPECT_EQ(copy.status, 1);
    EXPECT_NE(copy.err.find("(code 168)"), std::string::npos) << copy.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("copy.ini")));
  }
}

}  // namespace
