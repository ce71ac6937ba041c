// QELKey: the backend key behind every public key handle: path, name, value cache, and the
// operations every backend implements.
// Thread safety: none of its own; a key object is used by one thread at a time (handles detach
// before they change a shared key).
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <utility>

#include "qel_imp_pointer.h"
#include "qel_iterator.h"
#include "qel_no_case_string.h"
#include "qel_rb_value.h"
#include "qel_status.h"
#include "qel_value_map.h"

class QELKey;

// The copy-on-write policy of backend keys.
struct QELKeyLifeMgr {
  QELKey* Clone(QELKey* p) const;
  void Destroy(QELKey*& p) const;
};

using QELKeyPointer = qel_imp_pointer<QELKey*, QELKeyLifeMgr>;
using QELValueMapPointer = qel_imp_pointer<QELValueMap*, QELValueMapLifeMgr>;
using QELValueItem = std::pair<QELNoCaseString, QELRBValue>;

class QELKey {
 public:
  // Throws QELError (facility 4, "src\qel_key") when a non-empty `path` is invalid.
  explicit QELKey(const std::string& path);
  QELKey(const QELKey& other);
  virtual ~QELKey();

  virtual QELKey& operator=(const QELKey& other);
  virtual QELKey* Clone() const = 0;
  virtual const std::string& GetKeyPath() const;
  virtual const std::string& GetKeyName();
  virtual QELStatus ChangeKey(const std::string& path);
  virtual QELStatus Up();
  virtual QELStatus CommitSuicide();
  virtual QELStatus SetValue(const QELValueItem& value) = 0;
  virtual QELStatus AddValue(const QELValueItem& value) = 0;
  virtual QELStatus SetValues(const QELValueMap& values) = 0;
  virtual QELStatus GetValue(QELValueItem& value);
  virtual QELStatus GetValues(QELValueMapPointer& values);
  virtual QELStatus HasValue(const QELNoCaseString& name, bool& has);
  virtual QELStatus DeleteValue(const QELValueItem& value) = 0;
  virtual QELStatus DeleteValues(const QELValueMap& values) = 0;
  virtual QELStatus SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                                 uint32_t& count) = 0;
  virtual QELStatus CreateSubkey(const std::string& name) = 0;
  virtual QELStatus DeleteSubkey(const std::string& name, bool flag) = 0;
  virtual QELStatus GetSubkey(const std::string& name, QELKey& target) = 0;
  virtual QELStatus HasSubkey(const std::string& name, bool& has) = 0;
  virtual QELStatus SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                                 bool recursive, const std::list<std::string>& exclusions,
                                 uint32_t& count) = 0;
  virtual QELStatus IsEmpty(bool& empty) = 0;

  // Number of "/" in the path.
  uint32_t GetLevel() const;
  // Paths equal byte for byte.
  bool operator==(const QELKey& other) const;

 protected:
  // The QELKey body of ChangeKey, callable while a derived object is being built.
  QELStatus ChangePath(const std::string& path);

  std::string name;
  std::string path;
  QELValueMapPointer values;
};
