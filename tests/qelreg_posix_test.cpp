// qelreg where only POSIX systems set the scene: output to a full device or a closed descriptor,
// the mode of a store file it creates, and its bash completion.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_files.h"

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
  }

  // Runs qelreg with `args` (none holds a single quote), standard input from `in` and standard
  // output redirected by `out`.
  Result Run(const std::vector<std::string>& args, const std::string& in = "/dev/null",
             const std::string& out = "") const {
    std::string command = std::string("'") + QELREG_PATH + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command +=
        " <" + in + " " + (out.empty() ? ">" + dir_.File("out") : out) + " 2>" + dir_.File("err");
    WriteWholeFile(dir_.File("out"), "");
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(dir_.File("out")),
            ReadWholeFile(dir_.File("err"))};
  }

  ScratchDirectory dir_;
  const std::string store_ = dir_.File("sample.ini");
};

TEST_F(QelregTest, AStoreFileMadeByCreateIsReadableByItsOwnerOnly) {
  const std::string created = dir_.File("new.ini");
  Result r = Run({"--store", created, "--create", "mkkey", "-p", "/A"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat status {};
  ASSERT_EQ(stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(QelregTest, OutputThatCannotBeWrittenIsReported) {
  const std::vector<std::string> change{"--store", store_,   "set", "/ZOR_Software", "vendor",
                                        "Other",   "--then", "get", "/ZOR_Software", "vendor"};
  Result r = Run(change, "/dev/null", ">/dev/full");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "qelreg: store " + store_ +
                       ": the changes were committed, but the output could not be written: No "
                       "space left on device\n");
  EXPECT_NE(ReadWholeFile(store_).find("vendor=Other\n"), std::string::npos);
  r = Run(change, "/dev/null", ">&-");
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("committed, but the output could not be written: Bad file descriptor\n"),
            std::string::npos)
      << r.err;
  r = Run({"--store", store_, "tree"}, "/dev/null", ">/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "qelreg: store " + store_ + ": cannot write the output: No space left on device\n");
}

TEST_F(QelregTest, BashCompletionOffersCommandsOptionsAndKeys) {
  const std::string tool = QELREG_PATH;
  const std::string script = QEL_SOURCE_DIR "/tools/qelreg/qelreg.bash-completion";
  // The words of a command line, the last one being completed, and what is offered.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"qelreg --store " + store_ + " r", "rm\nrmkey\nroot\n"},
      {"qelreg --cr", "--create\n"},
      {"qelreg --store " + store_ + " tree --c", "--children\n"},
      {"qelreg --store " + store_ + " get /ZOR_Software/qel4ds/Config/L",
       "/ZOR_Software/qel4ds/Config/Logging\n"},
      {"qelreg --store " + store_ + " get /A x --then mk", "mkkey\n"},
  };
  for (const auto& [line, offered] : cases) {
    WriteWholeFile(dir_.File("complete.sh"),
                   "PATH=\"" + tool.substr(0, tool.rfind('/')) + ":$PATH\"\nsource '" + script +
                       "'\nCOMP_WORDS=(" + line +
                       ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_qelreg\n"
                       "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    const std::string command =
        "bash " + dir_.File("complete.sh") + " >" + dir_.File("out") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << line;
    EXPECT_EQ(ReadWholeFile(dir_.File("out")), offered) << line;
  }
}

}  // namespace
