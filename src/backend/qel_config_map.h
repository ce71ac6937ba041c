// Configuration maps: read the values of one fixed key, such as the module index.
// Thread safety: a map is used by one thread at a time.
#pragma once

#include <string>

#include "qel_status.h"

class QELKey;
class QELConnectionBase;

class QELConfigMapBase {
 public:
  QELConfigMapBase() = default;
  QELConfigMapBase(const QELConfigMapBase&) = delete;
  QELConfigMapBase& operator=(const QELConfigMapBase&) = delete;
  virtual ~QELConfigMapBase();

  // Fills `text` with the string form of the value (of the empty value when missing: 160).
  virtual QELStatus GetValue(const std::string& name, std::string& text);

 protected:
  QELKey* key = nullptr;  // owned
};

// The map over "/ZOR_Software/qel4ds/Config/Index", the index of module root paths.
class QELIniConfigMap : public QELConfigMapBase {
 public:
  // Throws the INI key's QELError (158) when the index group is missing.
  explicit QELIniConfigMap(QELConnectionBase& connection);
};
