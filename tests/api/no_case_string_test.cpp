// Value names compared with other text: QELNoCaseString against literals, std::string and
// std::string_view, on either side, ignores ASCII case under every compiler.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "api_support.h"

namespace {

TEST(NoCaseString, EqualityWithEveryKindOfTextIgnoresCase) {
  const QELNoCaseString name("Host");
  const std::string text("hOST");
  const std::string_view view("HOST");
  const char* pointer = "host";
  char array[] = "hoSt";
  EXPECT_TRUE(name == "host" && "HOST" == name);
  EXPECT_TRUE(name == text && text == name);
  EXPECT_TRUE(name == view && view == name);
  EXPECT_TRUE(name == pointer && pointer == name && name == array && array == name);
  EXPECT_TRUE(name == QELNoCaseString("HoSt"));
  EXPECT_FALSE(name != "HOST" || "HOST" != name || name != text || text != name);
  EXPECT_TRUE(name != "hosts" && "hos" != name && name != std::string("port"));
  // Only ASCII letters fold: "_" and "^" stay apart, as do bytes above 0x7F.
  EXPECT_TRUE(QELNoCaseString("a_b") != "A^B" && QELNoCaseString("\xC4") != "\xE4");
  // Plain std::string comparisons keep their own, case-sensitive rules.
  EXPECT_FALSE(std::string("Host") == "host");
}

TEST(NoCaseString, OrderWithEveryKindOfTextIgnoresCase) {
  const QELNoCaseString name("beta");
  EXPECT_TRUE(name < "GAMMA" && "ALPHA" < name);
  EXPECT_TRUE(name > std::string("ALPHA") && std::string("GAMMA") > name);
  EXPECT_TRUE(name <= "BETA" && name >= "BETA" && "BETA" <= name && "BETA" >= name);
  EXPECT_TRUE(name < std::string_view("Betas") && std::string_view("BET") < name);
  EXPECT_FALSE(name < "BETA" || "BETA" < name || name > "BETA");
  // The byte values decide once case is folded: "_" (0x5F) sorts before "a".
  EXPECT_TRUE(QELNoCaseString("_") < "A" && QELNoCaseString("Z") > "_");

  std::map<QELNoCaseString, int> values{{"Port", 1}, {"host", 2}};
  EXPECT_EQ(values.count("PORT"), 1u);
  EXPECT_EQ(values.begin()->first, "HOST");
}

TEST(NoCaseString, NamesFromTheValueIteratorMatchInAnyCase) {
  api_test::StoreFile store("[/S]\nListen=80\n");
  const QELConnection connection = api_test::Connect(store);
  QELRBConstValueIterator it(QELRBKey("/S", connection), "*");
  ASSERT_NE(it, QELRBConstValueIterator::EndIterator);
  const std::pair<QELNoCaseString, QELRBValue> item = *it;
  EXPECT_TRUE(item.first == "listen" && std::string("LISTEN") == item.first);
  EXPECT_EQ(item.first, "LiStEn");
}

}  // namespace
