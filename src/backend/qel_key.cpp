// QELKey: path, name and value cache shared by every backend key, the key copy-on-write policy,
// and the misuse errors of the shared pointer and cursor templates.
#include "qel_key.h"

#include <zor-qel-rb-key/qel_error.h>
#include "clog_msg.h"
#include "qel_failures.h"

namespace {

const char kNullPointerText[] = "Attempt to dereference null pointer";

}  // namespace

void qel_imp_pointer_null_error() {
  CLogMsg(nullptr, nullptr, kLogTrace) << kLogError << kNullPointerText << flush;
  throw QELLogicalError(kNullPointerText,
                        "qel_cfg\\request_broker/security/implementation/inc/qel_imp_pointer",
                        __LINE__);
}

void qel_iterator_end_error() {
  ThrowStatus(Failed(qel_failure::kPastEnd), "qel_cfg\\configuration/inc/qel_iterator", __LINE__);
}

QELKey* QELKeyLifeMgr::Clone(QELKey* p) const { return p->Clone(); }

void QELKeyLifeMgr::Destroy(QELKey*& p) const {
  delete p;
  p = nullptr;
}

QELKey::QELKey(const std::string& key_path) {
  if (key_path.empty()) return;
  const QELStatus status = ChangePath(key_path);
  if (!status.Ok()) {
    // Kept for 3.0 programs: see docs/compatibility.md.
    throw QELError(status.message, status.code, qel_failure::kKeyPathFacility, "src\\qel_key",
                   __LINE__);
  }
}

QELKey::QELKey(const QELKey& other) : name(other.name), path(other.path), values(other.values) {}

QELKey::~QELKey() = default;

QELKey& QELKey::operator=(const QELKey& other) {
  if (this == &other) return *this;
  path = other.path;
  name = other.name;
  values = other.values;
  return *this;
}

const std::string& QELKey::GetKeyPath() const { return path; }

const std::string& QELKey::GetKeyName() {
  if (name.empty()) {
    const std::string& full = GetKeyPath();
    const size_t slash = full.rfind('/');
    if (slash != std::string::npos) name = full.substr(slash + 1);
  }
  return name;
}

QELStatus QELKey::ChangeKey(const std::string& new_path) { return ChangePath(new_path); }

QELStatus QELKey::ChangePath(const std::string& new_path) {
  if (!new_path.empty() && new_path[0] == '/') {
    path = new_path;
    name.clear();
    return QELStatus();
  }
  const QELFailure& failure = qel_failure::kInvalidPath;
  const std::string text = CatalogueText(failure) + CodeTag(failure) + " : " + new_path;
  CLogMsg("QELKey::ChangeKey", "key", kLogTrace) << kLogError << text << flush;
  return Failed(failure, text);
}

QELStatus QELKey::Up() {
  const std::string& full = GetKeyPath();
  const size_t slash = full.rfind('/');
  return ChangeKey(slash == std::string::npos ? full : full.substr(0, slash));
}

QELStatus QELKey::CommitSuicide() {
  name.clear();
  path.clear();
  values = QELValueMapPointer();
  return QELStatus();
}

QELStatus QELKey::GetValue(QELValueItem& value) {
  // Reads go through the const access so that a shared cache is never duplicated.
  const QELValueMapPointer& cache = values;
  QELValueMap* map = cache.operator->();
  const QELValueMap::iterator found = map->Find(value.first);
  if (found == map->End()) {
    const QELFailure& failure = qel_failure::kNoValue;
    return Failed(failure, CatalogueText(failure) + "(" + value.first + ")" + CodeTag(failure) +
                               "\t: " + GetKeyPath());
  }
  // Most callers spell the name as stored (compared byte for byte): then there is nothing to copy.
  const std::string& stored = found->first;
  if (static_cast<const std::string&>(value.first) != stored) value.first = stored;
  value.second = found->second;
  return QELStatus();
}

const QELRBValue* QELKey::FindValue(std::string_view value_name) {
  const QELValueMapPointer& cache = values;
  const QELValueMap* map = cache.operator->();
  const QELValueMap::const_iterator found = map->Find(value_name);
  return found == map->End() ? nullptr : &found->second;
}

QELStatus QELKey::GetValues(QELValueMapPointer& out) {
  out = values;
  return QELStatus();
}

QELStatus QELKey::GetTruncatedValues(std::list<std::string>& names) {
  names.clear();
  return QELStatus();
}

QELStatus QELKey::HasValue(const QELNoCaseString& value_name, bool& has) {
  const QELValueMapPointer& cache = values;
  QELValueMap* map = cache.operator->();
  has = map->Find(value_name) != map->End();
  return QELStatus();
}

uint32_t QELKey::GetLevel() const {
  uint32_t level = 0;
  for (const char c : GetKeyPath()) {
    if (c == '/') ++level;
  }
  return level;
}

bool QELKey::operator==(const QELKey& other) const { return GetKeyPath() == other.GetKeyPath(); }
