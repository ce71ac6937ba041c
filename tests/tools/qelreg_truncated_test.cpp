// qelreg and values whose stored text holds bytes after its last 0x1B: check lists them, and
// import and copy refuse a source holding one instead of storing it cut short.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scratch_files.h"
#include "test_system.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class QelregTruncatedTest : public ::testing::Test {
 protected:
  Result Run(const std::vector<std::string>& args) const {
    const int status = RunProgram(QELREG_PATH, args, "", dir_.File("out"), dir_.File("err"));
    return {status, ReadWholeFile(dir_.File("out")), ReadWholeFile(dir_.File("err"))};
  }
  std::string File(const std::string& name) const { return dir_.File(name); }

  ScratchDirectory dir_;
};

TEST_F(QelregTruncatedTest, CheckListsThemAndImportAndCopyRefuseThem) {
  // The escape and the raw byte are the same stored text.
  for (const std::string& line : {std::string("k=\"a\\x1bb\"\n"), std::string("k=a\x1b"
                                                                              "b\n")}) {
    SCOPED_TRACE(line);
    const std::string source = File("source.ini");
    WriteWholeFile(source, "[/I]\nfine=x\x1by\x1b\n" + line);
    const Result check = Run({"--store", source, "check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "/I: k\n");

    const std::string store = File("store.ini");
    WriteWholeFile(store, "[/Kept]\n");
    const Result import = Run({"--store", store, "import", source});
    EXPECT_EQ(import.status, 1);
    EXPECT_NE(import.err.find("value k: ZORKVA0611E The value k cannot be stored"),
              std::string::npos)
        << import.err;
    EXPECT_NE(import.err.find("(code 168)"), std::string::npos) << import.err;
    EXPECT_EQ(ReadWholeFile(store), "[/Kept]\n");

    const Result copy = Run({"copy", source, File("copy.ini")});
    EXPECT_EQ(copy.status, 1);
    EXPECT_NE(copy.err.find("(code 168)"), std::string::npos) << copy.err;
    EXPECT_FALSE(std::filesystem::exists(File("copy.ini")));
  }
}

}  // namespace
