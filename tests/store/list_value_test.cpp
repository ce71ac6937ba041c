// Tests of the value encoding of entry text and of the list edits as the journal replays them onto
// another writer's version of the entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "list_value.h"

namespace {

using Elements = std::vector<std::string>;
const std::string kEsc = "\x1B";

TEST(ListValue, EncodesListsWithATrailingSeparatorAndDropsDanglingText) {
  EXPECT_EQ(EncodeValue(QELRBValue({"one", "two"})), "one" + kEsc + "two" + kEsc);
  EXPECT_EQ(EncodeValue(QELRBValue("single")), "single");
  EXPECT_EQ(EncodeValue(QELRBValue()), "");
  EXPECT_TRUE(DecodeValue("").Empty());
  EXPECT_EQ(DecodeValue("a b").Elements(), Elements{"a b"});
  EXPECT_EQ(DecodeValue("one" + kEsc + "two" + kEsc).Elements(), (Elements{"one", "two"}));
  EXPECT_EQ(DecodeValue("one" + kEsc + "two").Elements(), Elements{"one"});
  EXPECT_EQ(DecodeValue("one" + kEsc + kEsc).Elements(), (Elements{"one", ""}));
}

TEST(ListValue, EditsMergeIntoAnotherWritersVersionAndRefuseOneThatWouldLoseBytes) {
  const ListAddition addition("/A", "List", {QELRBValue("bee"), QELRBValue("cat")});
  const std::string newer = "ant" + kEsc + "cat" + kEsc + "eel" + kEsc;
  std::string result;
  ASSERT_TRUE(addition.Apply(&newer, &result));
  EXPECT_EQ(result, "ant" + kEsc + "bee" + kEsc + "cat" + kEsc + "eel" + kEsc);
  EXPECT_FALSE(addition.Apply(&result, &result));

  const ListRemoval removal("/A", "List", {QELRBValue("cat")});
  EXPECT_FALSE(removal.Apply(nullptr, &result));
  ASSERT_TRUE(removal.Apply(&newer, &result));
  EXPECT_EQ(result, "ant" + kEsc + "eel" + kEsc);

  const std::string truncated = "ant" + kEsc + "tail";
  const std::vector<const IniEntryEdit*> edits = {&addition, &removal};
  for (const IniEntryEdit* edit : edits) {
    try {
      edit->Apply(&truncated, &result);
      ADD_FAILURE() << "a truncated version was rewritten";
    } catch (const QELError& error) {
      EXPECT_EQ(error.Code(), static_cast<long>(zor::qel::ErrorCode::kUnstorableValue));
    }
  }
}

}  // namespace
