// QELConnection: the public connection handle, its connection types, login with the optional
// verification of the store, and the transaction calls.
#include <zor-qel-rb-key/qel_connection.h>

#include <zor-qel-rb-key/osl_unicode.h>
#include <zor-qel-rb-key/qel_log.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "message.h"
#include "os_time.h"
#include "qel_failures.h"
#include "qel_ini_connection.h"
#include "qel_key_factory.h"
#include "qel_rb_log.h"
#include "version_parse.h"

namespace {

// Kept for 3.0 programs: see docs/compatibility.md.
constexpr const char* kSource = "src\\qel_connection";
constexpr const char* kLoginFunction = "QELConnection::Login";
constexpr const char* kConfigKey = "/ZOR_Software/qel4ds/Config";
constexpr const char* kSupportedVersion = "9.0.21.100";

// Logs `text` under Login and throws it with `code`; Login's failures keep their fixed lines.
[[noreturn]] void LoginFailure(const QELStatus& status, long line) {
  RbLogError(kLoginFunction, status.message);
  ThrowStatus(status, kSource, line);
}

// A login failure whose text is the catalogue text of its id.
[[noreturn]] void LoginFailure(const QELFailure& failure, long line) {
  LoginFailure(Failed(failure, CatalogueText(failure)), line);
}

// The store passes when its major and minor numbers are those of the supported release.
bool IsSupportedVersion(const std::string& version) {
  const QelVr_VersionSpec expected = QelVr_VersionSpecHelper::parseVersion(kSupportedVersion);
  const QelVr_VersionSpec actual = QelVr_VersionSpecHelper::parseVersion(version);
  return expected.major && actual.major && *expected.major == *actual.major && expected.minor &&
         actual.minor && *expected.minor == *actual.minor;
}

}  // namespace

QELConnection::QELConnection(ConnectionType connectionType)
    : backend(GetKeyFactory(connectionType)->CreateConnection()),
      type(connectionType),
      unicode(false),
      checkValidity(false) {
  static const char* kFunction = "QELConnection::QELConnection";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Type: " << static_cast<int>(type); });
}

QELConnection::QELConnection(const QELConnection& other) = default;

QELConnection& QELConnection::operator=(const QELConnection& other) {
  backend = other.backend;
  type = other.type;
  unicode = other.unicode;
  version = other.version;
  checkValidity = other.checkValidity;
  return *this;
}

QELConnection::~QELConnection() = default;

void QELConnection::Login(const std::string& host, int port, const std::string& user,
                          const std::string& password) {
  RbTrace(kLoginFunction, [&](CLogMsg& log) {
    log << static_cast<std::string&>(Message("")[qel_failure::kLoginTraceId]
                                     << user << zor::qel::MaskCredentials(host)
                                     << os_date::today().to_string() << os_time::now().to_string());
  });

  if (type != INI && type != RINI && (host.empty() || user.empty())) {
    const QELFailure& failure = qel_failure::kLoginArgumentMissing;
    LoginFailure(
        Failed(failure, Message("")[failure.message_id] << (host.empty() ? "Host" : "User")), 86);
  }

  const QELStatus status = backend.Get()->Login(host, port, user, password);
  // The backend logged its failure once, with the cause; it is thrown on as it is.
  if (!status.Ok()) ThrowStatus(status, kSource, 98);

  if (!checkValidity) return;

  // Whatever goes wrong while reading the configuration key, the store is unreadable to us.
  try {
    const QELRBKey config(kConfigKey, *this);
    if (static_cast<std::string>(config.GetValue("multi-language")) == "unicode") unicode = true;
    version = static_cast<std::string>(config.GetValue("product-ver"));
  } catch (...) {
    LoginFailure(qel_failure::kConfigurationUnreadable, 118);
  }

  if (unicode != Osl_UnicodeConfiguration::Instance()->IsUnicodeMode()) {
    LoginFailure(qel_failure::kUnicodeMismatch, 127);
  }
  if (!IsSupportedVersion(version)) LoginFailure(qel_failure::kUnsupportedVersion, 141);
}

const std::string QELConnection::GetHost() const {
  const QELConnectionBase* connection = backend.Get();
  static const char* kFunction = "QELConnection::GetHost";
  RbTrace(kFunction, [&](CLogMsg& log) {
    log << "Host: " << zor::qel::MaskCredentials(connection->GetHost())
        << " User: " << connection->GetUser();
  });
  return connection->GetHost();
}

const std::string QELConnection::GetUser() const { return backend.Get()->GetUser(); }

int QELConnection::GetPort() const { return backend.Get()->GetPort(); }

QELConnectionBase* QELConnection::GetConnection() const { return backend.Get(); }

const std::string& QELConnection::GetVersion() const {
  static const char* kFunction = "QELConnection::GetVersion";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Version: " << version; });
  return version;
}

bool QELConnection::IsUnicodeMode() const {
  static const char* kFunction = "QELConnection::IsUnicodeMode";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Unicode mode: " << static_cast<int>(unicode); });
  return unicode;
}

void QELConnection::SetCheckValidity(bool check) {
  checkValidity = check;
  static const char* kFunction = "QELConnection::SetCheckValidity";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Check validity: " << static_cast<int>(checkValidity); });
}

void QELConnection::BeginTransaction() {
  backend.Get()->BeginTransaction();
  static const char* kFunction = "QELConnection::BeginTransaction";
  RbTrace(kFunction);
}

void QELConnection::Commit() {
  backend.Get()->Commit();
  static const char* kFunction = "QELConnection::Commit";
  RbTrace(kFunction);
}

bool QELConnection::IsTransactionStarted() const {
  const bool started = backend.Get()->IsTransactionStarted();
  static const char* kFunction = "QELConnection::IsTransactionStarted";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Transaction Started: " << static_cast<int>(started); });
  return started;
}

std::vector<std::string> QELConnection::DiscardChanges() {
  std::vector<std::string> changed;
  backend.Get()->DiscardChanges(changed);
  static const char* kFunction = "QELConnection::DiscardChanges";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Changed keys: " << static_cast<long>(changed.size()); });
  return changed;
}

std::vector<std::string> QELConnection::Refresh() {
  std::vector<std::string> changed;
  backend.Get()->Refresh(changed);
  static const char* kFunction = "QELConnection::Refresh";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Changed keys: " << static_cast<long>(changed.size()); });
  return changed;
}

std::vector<std::string> QELConnection::WaitForChange(int timeout_ms) {
  static const volatile std::sig_atomic_t kNever = 0;
  return WaitForChange(timeout_ms, kNever);
}

std::vector<std::string> QELConnection::WaitForChange(int timeout_ms,
                                                      const volatile std::sig_atomic_t& stop) {
  std::vector<std::string> changed;
  backend.Get()->WaitForChange(timeout_ms < 0 ? 0 : timeout_ms, changed, &stop);
  static const char* kFunction = "QELConnection::WaitForChange";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Changed keys: " << static_cast<long>(changed.size()); });
  return changed;
}

int QELConnection::GetChangeDescriptor() const { return backend.Get()->GetChangeDescriptor(); }

const std::string QELConnection::ConnectionTypeToString(ConnectionType connectionType) {
  switch (connectionType) {
    case CORBA:
      return "corba";
    case LDAP:
      return "ldap";
    case INI:
      return "ini";
    case RINI:
      return "rini";
    default:
      throw QELLogicalError(
          "Unknown connection type: " + std::to_string(static_cast<int>(connectionType)), kSource,
          255);
  }
}

QELConnection::ConnectionType QELConnection::StringToConnectionType(const std::string& text) {
  static const struct {
    const char* name;
    ConnectionType type;
  } kNames[] = {
      {"corba", CORBA}, {"ldap", LDAP}, {"ini", INI}, {"rini", RINI}, {"simple_ini", SIMPLE_INI}};
  for (const auto& entry : kNames) {
    if (cmp_nocase(text, entry.name) == 0) return entry.type;
  }
  throw QELLogicalError("Unknown connection type: " + text, kSource, 235);
}
