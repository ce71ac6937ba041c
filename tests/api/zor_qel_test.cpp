// The zor::qel layer as a program uses it: typed reads with their defaults and their refusal of
// malformed values, range-for over subkeys and values, and the rules of the transaction guard.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/zor_qel.h>
#include "api_support.h"

namespace {

using api_test::Connect;
using api_test::ErrorOf;
using api_test::LogCapture;
using api_test::StoreFile;
using Names = std::vector<std::string>;

// A service's key with well-formed and malformed values of every kind.
const char* kServiceStore =
    "[/Svc]\n"
    "host=alder.example\n"
    "port=5401\n"
    "Workers=+8\n"
    "offset=-3\n"
    "enabled=Yes\n"
    "debug=off\n"
    "peers=alder\x1b"
    "birch\x1b\n"
    "one=single\n"
    "blank=\n"
    "spaced=\" 80\"\n"
    "hex=0x10\n"
    "trailing=80x\n"
    "signs=+-5\n"
    "huge=99999999999999999999999\n"
    "maybe=perhaps\n"
    "[/Svc/Ports]\n"
    "[/Svc/Ports/admin]\n"
    "[/Svc/Users]\n";

class ZorQel : public ::testing::Test {
 protected:
  StoreFile store{kServiceStore};
  QELConnection connection = Connect(store);
  QELRBKey svc{"/Svc", connection};
};

// The malformed-value error of a read that must fail.
template <class Read>
zor::qel::MalformedValueError MalformedOf(Read read) {
  try {
    read();
  } catch (const zor::qel::MalformedValueError& error) {
    return error;
  }
  ADD_FAILURE() << "no MalformedValueError thrown";
  return zor::qel::MalformedValueError("", "", "", {}, 0);
}

// A text default for a boolean would read as `true`: ReadBool refuses it at compile time.
template <class Fallback, class = void>
struct ReadBoolTakes : std::false_type {};
template <class Fallback>
struct ReadBoolTakes<Fallback, std::void_t<decltype(zor::qel::ReadBool(
                                   std::declval<const QELRBKey&>(), "", std::declval<Fallback>()))>>
    : std::true_type {};
static_assert(ReadBoolTakes<bool>::value && !ReadBoolTakes<const char*>::value);

TEST_F(ZorQel, TypedReadsOfPresentValues) {
  using zor::qel::ReadBool;
  using zor::qel::ReadInteger;
  EXPECT_EQ(zor::qel::ReadString(svc, "HOST", "none"), "alder.example");  // any letter case
  EXPECT_EQ(zor::qel::ReadString(svc, "blank", "none"), "");
  EXPECT_EQ(ReadInteger(svc, "port", 0), 5401);
  EXPECT_EQ(ReadInteger(svc, "workers", 1), 8);
  EXPECT_EQ(ReadInteger(svc, "offset", 0L), -3L);
  EXPECT_EQ(ReadInteger<uint16_t>(svc, "port", 80), 5401u);
  EXPECT_TRUE(ReadBool(svc, "enabled", false));
  EXPECT_FALSE(ReadBool(svc, "debug", true));
  EXPECT_EQ(zor::qel::ReadList(svc, "peers"), Names({"alder", "birch"}));
  EXPECT_EQ(zor::qel::ReadList(svc, "one", {"x"}), Names({"single"}));
  EXPECT_EQ(zor::qel::ReadList(svc, "blank", {"x"}), Names());
}

TEST_F(ZorQel, MissingValuesGiveTheDefaultWithoutAnErrorRecord) {
  LogCapture log(false);
  EXPECT_EQ(zor::qel::ReadString(svc, "nothing", "fallback"), "fallback");
  EXPECT_EQ(zor::qel::ReadInteger(svc, "nothing", -1), -1);
  EXPECT_TRUE(zor::qel::ReadBool(svc, "nothing", true));
  EXPECT_EQ(zor::qel::ReadList(svc, "nothing", {"a", "b"}), Names({"a", "b"}));
  EXPECT_EQ(zor::qel::ReadList(svc, "nothing"), Names());
  EXPECT_TRUE(log.Take().empty());
}

TEST_F(ZorQel, IntegersAcceptOnlyDecimalTextWithinTheTypesRange) {
  for (const char* name : {"host", "blank", "spaced", "hex", "trailing", "signs", "peers"}) {
    const zor::qel::MalformedValueError error =
        MalformedOf([&] { zor::qel::ReadInteger(svc, name, 0); });
    EXPECT_EQ(error.ValueName(), name);
  }
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger(svc, "hex", 0); }).What(),
            "malformed value \"hex\" of key /Svc: not a decimal integer");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger(svc, "blank", 0); }).What(),
            "malformed value \"blank\" of key /Svc: empty, not an integer");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger(svc, "peers", 0); }).What(),
            "malformed value \"peers\" of key /Svc: a list of 2 elements, not an integer");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger<int8_t>(svc, "port", 0); }).What(),
            "malformed value \"port\" of key /Svc: out of range (-128..127)");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger<unsigned>(svc, "offset", 0); }).What(),
            "malformed value \"offset\" of key /Svc: out of range (0..4294967295)");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadInteger(svc, "huge", 0LL); }).What(),
            "malformed value \"huge\" of key /Svc: out of range (-9223372036854775808.."
            "9223372036854775807)");

  // The bounds themselves read, and "-0" is zero for every type.
  QELRBKey limits = svc.CreateSubkey("Limits");
  limits.SetValues({{"min", "-9223372036854775808"},
                    {"max", "18446744073709551615"},
                    {"i8", "-128"},
                    {"zero", "-0"}});
  EXPECT_EQ(zor::qel::ReadInteger(limits, "min", 0LL), std::numeric_limits<long long>::min());
  EXPECT_EQ(zor::qel::ReadInteger(limits, "max", 0ULL),
            std::numeric_limits<unsigned long long>::max());
  EXPECT_EQ(zor::qel::ReadInteger<int8_t>(limits, "i8", 0), -128);
  EXPECT_EQ(zor::qel::ReadInteger<unsigned>(limits, "zero", 7), 0u);
}

TEST_F(ZorQel, MalformedValuesAreQELErrorsThatKeepTheContentOutOfTheText) {
  svc.SetValue("secret", "hunter2");
  const zor::qel::MalformedValueError error =
      MalformedOf([&] { zor::qel::ReadBool(svc, "secret", false); });
  EXPECT_EQ(error.What(),
            "malformed value \"secret\" of key /Svc: not a boolean (true/false, yes/no, on/off, "
            "1/0)");
  EXPECT_EQ(error.Code(), static_cast<long>(zor::qel::ErrorCode::kMalformedValue));
  EXPECT_EQ(error.Code(), 169);
  EXPECT_EQ(error.Facility(), static_cast<long>(zor::qel::Facility::kLibrary));
  EXPECT_EQ(error.KeyPath(), "/Svc");
  EXPECT_EQ(error.Elements(), Names({"hunter2"}));
  // One catch of QELError still takes every failure.
  const QELError base = ErrorOf([&] { zor::qel::ReadBool(svc, "maybe", false); });
  EXPECT_EQ(base.Code(), 169);
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadString(svc, "peers", ""); }).What(),
            "malformed value \"peers\" of key /Svc: a list of 2 elements, not a string");
  EXPECT_EQ(MalformedOf([&] { zor::qel::ReadBool(svc, "blank", true); }).What(),
            "malformed value \"blank\" of key /Svc: empty, not a boolean");
}

TEST_F(ZorQel, RangeForWalksSubkeysAndValues) {
  Names direct;
  for (const QELRBKey& key : zor::qel::Subkeys(svc)) direct.push_back(key.GetKeyPath());
  EXPECT_EQ(direct, Names({"/Svc/Ports", "/Svc/Users"}));

  // Each step yields a handle of its own: the kept ones still designate their keys.
  std::vector<QELRBKey> kept;
  for (QELRBKey key : zor::qel::AllSubkeys(QELRBKey("/Svc", connection))) kept.push_back(key);
  Names all;
  for (const QELRBKey& key : kept) all.push_back(key.GetKeyPath());
  EXPECT_EQ(all, Names({"/Svc/Ports", "/Svc/Ports/admin", "/Svc/Users"}));

  Names values;
  for (const auto& [name, value] : zor::qel::Values(svc, "*o*")) {
    values.push_back(name + "=" + static_cast<std::string>(value));
  }
  // The key's order: that of the names, ignoring case, when the key was read.
  EXPECT_EQ(values,
            Names({"host=alder.example", "offset=-3", "one=single", "port=5401", "Workers=+8"}));

  int steps = 0;
  for (const QELRBKey& key : zor::qel::Subkeys(QELRBKey("/Svc/Users", connection))) {
    (void)key;
    ++steps;
  }
  for (const auto& item : zor::qel::Values(QELRBKey("/Svc/Ports", connection))) {
    (void)item;
    ++steps;
  }
  EXPECT_EQ(steps, 0);
  // A walk over an empty handle fails where it starts.
  LogCapture log(false);
  EXPECT_THROW(zor::qel::Subkeys(QELRBKey()).begin(), QELLogicalError);
}

TEST_F(ZorQel, TransactionWritesOnlyAtCommit) {
  const std::string before = store.Text();
  {
    zor::qel::Transaction transaction(connection);
    QELRBKey key("/Svc", connection);
    key.SetValue("port", "6000");
    key.CreateSubkey("Cache");
    EXPECT_EQ(store.Text(), before);
    transaction.Commit();
    EXPECT_TRUE(transaction.Committed());
    EXPECT_THROW(transaction.Commit(), QELLogicalError);
  }
  EXPECT_FALSE(connection.IsTransactionStarted());
  const QELConnection reader = Connect(store);
  EXPECT_EQ(zor::qel::ReadInteger(QELRBKey("/Svc", reader), "port", 0), 6000);
  EXPECT_TRUE(QELRBKey("/Svc", reader).HasSubkey("Cache"));
  // The connection takes the next guard.
  zor::qel::Transaction next(connection);
  next.Commit();
}

TEST_F(ZorQel, AnAbandonedTransactionWritesNothingAndStaysOpen) {
  const std::string before = store.Text();
  try {
    zor::qel::Transaction transaction(connection);
    QELRBKey key("/Svc", connection);
    key.SetValue("port", "6000");
    zor::qel::ReadInteger(key, "host", 0);  // throws: the scope is left half done
    transaction.Commit();
    ADD_FAILURE() << "the read did not throw";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), 169);
  }
  EXPECT_EQ(store.Text(), before);
  EXPECT_TRUE(connection.IsTransactionStarted());
  // The guard neither joins nor ends the open transaction, nor one begun by hand.
  EXPECT_THROW(zor::qel::Transaction again(connection), QELLogicalError);
  EXPECT_EQ(store.Text(), before);
  // Dropping the connection drops the change; a new login reads the store as it was.
  connection = Connect(store);
  EXPECT_EQ(zor::qel::ReadInteger(QELRBKey("/Svc", connection), "port", 0), 5401);
  connection.BeginTransaction();
  EXPECT_THROW(zor::qel::Transaction by_hand(connection), QELLogicalError);
  connection.Commit();
}

TEST_F(ZorQel, AFailedCommitKeepsTheTransactionOpenForAnotherCommit) {
  const std::string before = store.Text();
  const std::filesystem::path directory = std::filesystem::path(store.Path()).parent_path();
  zor::qel::Transaction transaction(connection);
  QELRBKey key("/Svc", connection);
  key.SetValue("port", "6000");
  // A file of the store's temporary name's folder cannot be made: the write fails.
  std::filesystem::rename(directory, directory.string() + ".away");
  EXPECT_THROW(transaction.Commit(), QELError);
  std::filesystem::rename(directory.string() + ".away", directory);
  EXPECT_FALSE(transaction.Committed());
  EXPECT_TRUE(connection.IsTransactionStarted());
  EXPECT_EQ(store.Text(), before);
  transaction.Commit();
  EXPECT_EQ(zor::qel::ReadInteger(QELRBKey("/Svc", Connect(store)), "port", 0), 6000);
}

}  // namespace
