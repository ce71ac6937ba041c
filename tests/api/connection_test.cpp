// The connection handle as a program sees it: type names, trace records, shared backends, login's
// argument checks and the verification of the store's language mode and product version.
#include <gtest/gtest.h>

#include "api_support.h"

namespace {

using api_test::ErrorOf;
using api_test::LogCapture;
using api_test::StoreFile;

std::string StoreWith(const std::string& language, const std::string& version) {
  std::string text = "[/ZOR_Software/qel4ds/Config]\n";
  if (!language.empty()) text += "multi-language=" + language + "\n";
  if (!version.empty()) text += "product-ver=" + version + "\n";
  return text;
}

// Logs in with verification and returns the error code (0 on success).
long VerifyingLogin(QELConnection& connection, const StoreFile& store) {
  connection.SetCheckValidity(true);
  try {
    connection.Login(store.Path(), 0, "tester", "");
  } catch (const QELError& error) {
    EXPECT_EQ(error.Facility(), 12);
    EXPECT_EQ(error.File(), "src\\qel_connection");
    return error.Code();
  }
  return 0;
}

TEST(Connection, TypeNamesBothWays) {
  EXPECT_EQ(QELConnection::StringToConnectionType("Simple_Ini"), QELConnection::SIMPLE_INI);
  EXPECT_EQ(QELConnection::ConnectionTypeToString(QELConnection::RINI), "rini");
  EXPECT_EQ(ErrorOf([] { QELConnection::StringToConnectionType("Ldap2"); }).What(),
            "Unknown connection type: Ldap2");
  EXPECT_EQ(
      ErrorOf([] { QELConnection::ConnectionTypeToString(QELConnection::SIMPLE_INI); }).What(),
      "Unknown connection type: 4");
}

TEST(Connection, NewHandleStateAndTraceRecords) {
  LogCapture log(true);
  QELConnection connection;
  EXPECT_EQ(connection.GetConnectionType(), QELConnection::CORBA);
  EXPECT_EQ(connection.GetHost(), "");
  EXPECT_EQ(connection.GetVersion(), "");
  EXPECT_FALSE(connection.IsUnicodeMode() || connection.IsTransactionStarted());
  connection.SetCheckValidity(true);
  const std::vector<std::string> expected = {
      "QELConnection::QELConnection|Type: 0",
      "QELConnection::GetHost|Host:  User: ",
      "QELConnection::GetVersion|Version: ",
      "QELConnection::IsUnicodeMode|Unicode mode: 0",
      "QELConnection::IsTransactionStarted|Transaction Started: 0",
      "QELConnection::SetCheckValidity|Check validity: 1"};
  std::vector<std::string> seen;
  for (const zor::qel::LogRecord& record : log.Take()) {
    seen.push_back(record.function + "|" + record.text);
    EXPECT_EQ(record.module + std::to_string(record.severity), "rb_key1");
  }
  EXPECT_EQ(seen, expected);
}

TEST(Connection, CopiesShareTheBackendButNotTheVerifiedVersion) {
  QELConnection a(QELConnection::INI);
  QELConnection b(QELConnection::INI);
  a = b;
  const QELConnection before = b;
  StoreFile store(StoreWith("ansi", "9.0.21.100"));
  EXPECT_EQ(VerifyingLogin(b, store), 0);
  EXPECT_EQ(a.GetUser(), "tester");
  EXPECT_EQ(b.GetVersion(), "9.0.21.100");
  EXPECT_EQ(before.GetVersion(), "");
  b.BeginTransaction();
  EXPECT_TRUE(a.IsTransactionStarted());
  a.Commit();
  EXPECT_FALSE(b.IsTransactionStarted());
}

TEST(Connection, MissingLoginArgumentsFailBeforeTheBackend) {
  LogCapture log(false);
  QELConnection corba;
  QELError error = ErrorOf([&] { corba.Login("", 0, "", ""); });
  EXPECT_EQ(error.Code(), 157);
  EXPECT_EQ(error.What(), "ZORKVA0532E The login argument Host is missing.");
  error = ErrorOf([&] { corba.Login("/no/such/file.ini", 0, "", ""); });
  EXPECT_EQ(error.What(), "ZORKVA0532E The login argument User is missing.");
  std::vector<zor::qel::LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 2u);  // no backend record: the store was never opened
  EXPECT_EQ(records[1].function + "|" + records[1].text, "QELConnection::Login|" + error.What());
  EXPECT_EQ(records[1].severity, 3);

  // "ini" skips the argument check; the backend's failure is logged once, at severity 5.
  QELConnection ini(QELConnection::INI);
  error = ErrorOf([&] { ini.Login("", 0, "", ""); });
  EXPECT_EQ(error.Code(), 158);
  records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].module + "|" + records[0].function + "|" + records[0].text,
            "ldap_key|QELIniConnection::Login|" + error.What());
  EXPECT_EQ(records[0].severity, 5);
}

// A store that cannot be opened fails the login with one error that names the cause: the file, and
// for a syntax error the line; the library logs it once.
TEST(Connection, AFailedLoginNamesItsCauseAndIsLoggedOnce) {
  LogCapture log(false);
  const StoreFile bad("[/A]\nx=1\nthis line is no entry\n");
  const StoreFile missing("");
  const std::string missing_path = missing.Path() + ".gone";
  const struct {
    std::string path;
    std::string cause;
  } cases[] = {
      {bad.Path(), "cannot load INI file " + bad.Path() + ", line 3: "},
      {missing_path, "cannot read " + missing_path + ": "},
  };
  for (const auto& login : cases) {
    QELConnection connection(QELConnection::INI);
    const QELError error = ErrorOf([&] { connection.Login(login.path, 0, "tester", ""); });
    EXPECT_EQ(error.Code(), 158);
    EXPECT_NE(error.What().find(" <" + login.cause), std::string::npos) << error.What();
    const std::vector<zor::qel::LogRecord> records = log.Take();
    ASSERT_EQ(records.size(), 1u) << login.path;
    EXPECT_EQ(records[0].text, error.What());
  }
}

TEST(Connection, VerificationFailsInItsOrder) {
  QELConnection connection(QELConnection::INI);
  EXPECT_EQ(VerifyingLogin(connection, StoreFile(StoreWith("ansi", "9.0.77.1"))), 0);
  EXPECT_EQ(connection.GetVersion(), "9.0.77.1");
  EXPECT_EQ(VerifyingLogin(connection, StoreFile("[/Other]\n")), 1114);
  QELConnection fresh(QELConnection::INI);
  EXPECT_EQ(VerifyingLogin(fresh, StoreFile(StoreWith("unicode", ""))), 1114);
  EXPECT_TRUE(fresh.IsUnicodeMode());  // read before the version was missed
  EXPECT_EQ(VerifyingLogin(connection, StoreFile(StoreWith("unicode", "8.1"))), 1112);
  QELConnection other(QELConnection::INI);
  EXPECT_EQ(VerifyingLogin(other, StoreFile(StoreWith("Unicode", "9.1.21.100"))), 1113);
  EXPECT_FALSE(other.IsUnicodeMode());
  EXPECT_EQ(VerifyingLogin(other, StoreFile(StoreWith("ansi", "9"))), 1113);

  Osl_UnicodeConfiguration::Instance()->SetUnicodeMode(true);
  QELConnection unicode(QELConnection::INI);
  EXPECT_EQ(VerifyingLogin(unicode, StoreFile(StoreWith("unicode", "9.0"))), 0);
  Osl_UnicodeConfiguration::Instance()->SetUnicodeMode(false);

  // Without verification a login reads neither.
  StoreFile store(StoreWith("unicode", "9.0.1.1"));
  const QELConnection plain = api_test::Connect(store);
  EXPECT_EQ(plain.GetVersion() + std::to_string(plain.IsUnicodeMode()), "0");
}

}  // namespace
