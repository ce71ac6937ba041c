// QELRBKey: the public key handle. Every operation forwards to the backend key through the
// copy-on-write pointer: read access for queries, access for change (detaching a shared key) for
// writes and moves; a failed status is logged and thrown as QELError.
#include <zor-qel-rb-key/qel_rb_key.h>

#include <memory>
#include <utility>

#include <zor-qel-rb-key/qel_rb_iterators.h>
#include "message.h"
#include "qel_key.h"
#include "qel_key_factory.h"
#include "qel_rb_log.h"
#include "qel_value_map.h"

namespace {

// Kept for 3.0 programs: see docs/compatibility.md.
constexpr const char* kSource = "src\\qel_rb_key";

// Hands a freshly created backend key to a new pointer; the key is deleted if that fails.
QELKeyPointer Adopt(std::unique_ptr<QELKey> key) {
  QELKeyPointer pointer(key.get());
  key.release();
  return pointer;
}

}  // namespace

QELRBKey::QELRBKey() : connection(QELConnection::CORBA) {}

QELRBKey::QELRBKey(const QELConnection& conn)
    : connection(conn),
      keyPointer(Adopt(std::unique_ptr<QELKey>(
          GetKeyFactory(conn.GetConnectionType())->CreateRootKey(conn.GetConnection())))) {}

QELRBKey::QELRBKey(const std::string& path, const QELConnection& conn)
    : connection(conn),
      keyPointer(Adopt(std::unique_ptr<QELKey>(
          GetKeyFactory(conn.GetConnectionType())->CreateKey(path, conn.GetConnection())))) {
  static const char* kFunction = "QELRBKey::QELRBKey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << path; });
}

QELRBKey::QELRBKey(const qel_imp_pointer<QELKey*, QELKeyLifeMgr>& key, const QELConnection& conn)
    : connection(conn), keyPointer(key) {}

QELRBKey::QELRBKey(const QELRBKey& other) = default;

QELRBKey& QELRBKey::operator=(const QELRBKey& other) {
  connection = other.connection;
  keyPointer = other.keyPointer;
  return *this;
}

QELRBKey::~QELRBKey() = default;

bool QELRBKey::operator==(const QELRBKey& other) const {
  return GetKeyPath() == other.GetKeyPath();
}

bool QELRBKey::operator<(const QELRBKey& other) const { return GetKeyPath() < other.GetKeyPath(); }

const std::string& QELRBKey::GetKeyPath() const { return keyPointer->GetKeyPath(); }

unsigned long QELRBKey::GetLevel() const { return keyPointer->GetLevel(); }

// Taken from the path rather than from the key's cached name, so that handles reading a shared
// backend key from several threads never write to it.
std::string QELRBKey::GetKeyName() const {
  const std::string& path = GetKeyPath();
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

bool QELRBKey::HasValue(const std::string& name) const {
  bool has = false;
  const QELStatus status = keyPointer->HasValue(QELNoCaseString(name), has);
  if (!status.Ok()) RbThrowStatus("QELRBKey::HasValue", status, kSource, __LINE__);
  return has;
}

QELRBValue QELRBKey::GetValue(const std::string& name) const {
  QELValueItem item{QELNoCaseString(name), QELRBValue()};
  const QELStatus status = keyPointer->GetValue(item);
  if (!status.Ok()) RbThrowStatus("QELRBKey::GetValue", status, kSource, __LINE__);
  return std::move(item.second);
}

const QELRBValue* QELRBKey::FindValue(std::string_view name) const {
  return keyPointer->FindValue(name);
}

void QELRBKey::SetValue(const std::string& name, const QELRBValue& value) {
  QELValueItem item(QELNoCaseString(name), value);
  const QELStatus status = keyPointer->SetValue(std::move(item));
  if (!status.Ok()) RbThrowStatus("QELRBKey::SetValue", status, kSource, __LINE__);
}

void QELRBKey::AddValue(const std::string& name, const QELRBValue& value) {
  static const char* kFunction = "QELRBKey::AddValue";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " value: " << name; });
  const QELStatus status = keyPointer->AddValue(QELValueItem(QELNoCaseString(name), value));
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

void QELRBKey::DeleteValue(const std::string& name, const QELRBValue& value) {
  static const char* kFunction = "QELRBKey::DeleteValue";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " value: " << name; });
  const QELStatus status = keyPointer->DeleteValue(QELValueItem(QELNoCaseString(name), value));
  if (!status.Ok() && status.code != qel_failure::kNoValue.code) {
    RbThrowStatus(kFunction, status, kSource, __LINE__);
  }
}

std::list<std::string> QELRBKey::GetTruncatedValues() const {
  std::list<std::string> names;
  const QELStatus status = keyPointer->GetTruncatedValues(names);
  if (!status.Ok()) RbThrowStatus("QELRBKey::GetTruncatedValues", status, kSource, __LINE__);
  return names;
}

void QELRBKey::RefuseTruncatedValues() const {
  const std::list<std::string> names = GetTruncatedValues();
  if (names.empty()) return;
  // As one string the stored text is one element holding 0x1B, which no write may store.
  const QELFailure& failure = qel_failure::kUnstorableValue;
  RbThrowStatus("QELRBKey::RefuseTruncatedValues",
                Failed(failure, Message("")[failure.message_id] << names.front() << "1"), kSource,
                __LINE__);
}

void QELRBKey::SetValues(const std::map<QELNoCaseString, QELRBValue>& values) {
  static const char* kFunction = "QELRBKey::SetValues";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath(); });
  QELValueMap map;
  for (const auto& entry : values) map.Set(QELValueItem(entry.first, entry.second));
  const QELStatus status = keyPointer->SetValues(map);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

QELRBKey QELRBKey::GetSubkey(const std::string& name) const {
  static const char* kFunction = "QELRBKey::GetSubkey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " subkey: " << name; });
  // The backend positions a fresh root key of the same connection on the subkey.
  std::unique_ptr<QELKey> subkey(
      GetKeyFactory(connection.GetConnectionType())->CreateRootKey(connection.GetConnection()));
  const QELStatus status = keyPointer->GetSubkey(name, *subkey);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
  return QELRBKey(Adopt(std::move(subkey)), connection);
}

bool QELRBKey::HasSubkey(const std::string& name) const {
  static const char* kFunction = "QELRBKey::HasSubkey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " subkey: " << name; });
  bool has = false;
  const QELStatus status = keyPointer->HasSubkey(name, has);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
  return has;
}

QELRBKey QELRBKey::CreateSubkey(const std::string& name) {
  static const char* kFunction = "QELRBKey::CreateSubkey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " subkey: " << name; });
  const QELStatus status = keyPointer->CreateSubkey(name);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
  return GetSubkey(name);
}

void QELRBKey::DeleteSubkey(const std::string& name) {
  static const char* kFunction = "QELRBKey::DeleteSubkey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " subkey: " << name; });
  const QELStatus status = keyPointer->DeleteSubkey(name, false);
  if (!status.Ok() && status.code != qel_failure::kNoKey.code)
    RbThrowStatus(kFunction, status, kSource, __LINE__);
}

bool QELRBKey::IsEmpty() const {
  bool empty = false;
  const QELStatus status = keyPointer->IsEmpty(empty);
  if (!status.Ok()) RbThrowStatus("QELRBKey::IsEmpty", status, kSource, __LINE__);
  return empty;
}

void QELRBKey::Up() {
  static const char* kFunction = "QELRBKey::Up";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath(); });
  const QELStatus status = keyPointer->Up();
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

void QELRBKey::ChangeKey(const std::string& path) {
  static const char* kFunction = "QELRBKey::ChangeKey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Changing key to: " << path; });
  QELKey* key = keyPointer.operator->();
  // A relative path is joined to the current one as it stands, without normalising it.
  const QELStatus status = !path.empty() && path[0] == '/'
                               ? key->ChangeKey(path)
                               : key->ChangeKey(key->GetKeyPath() + "/" + path);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

void QELRBKey::CommitSuicide() {
  static const char* kFunction = "QELRBKey::CommitSuicide";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Key: " << GetKeyPath(); });
  const QELStatus status = keyPointer->CommitSuicide();
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

void QELRBKey::SearchValues(QELRBConstValueIterator& it, const std::string& filter) const {
  static const char* kFunction = "QELRBKey::SearchValues";
  RbTrace(kFunction,
          [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " filter: " << filter; });
  uint32_t count = 0;
  const QELStatus status = keyPointer->SearchValues(filter, *it.cursor, count);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
}

int QELRBKey::SearchSubKey(QELRBConstKeyIterator& it, const std::string& filter, bool recursive,
                           const std::list<std::string>& exclusions) const {
  const char* function =
      recursive ? "QELRBKey::SearchSubKey(Recursive)" : "QELRBKey::SearchSubKey(Non recursive)";
  RbTrace(function, [&](CLogMsg& log) { log << "Key: " << GetKeyPath() << " filter: " << filter; });
  // The iterator hands out its subkeys through one handle of its own, made on first search.
  if (it.key == nullptr) it.key = new QELRBKey(connection);
  uint32_t count = 0;
  const QELStatus status =
      keyPointer->SearchSubKey(filter, *it.cursor, recursive, exclusions, count);
  if (!status.Ok()) RbThrowStatus(function, status, kSource, __LINE__);
  return static_cast<int>(count);
}
