/// \file
/// QELRBRootKey: a key handle opened on a module's own root, found through the module index.
/// Thread safety: as QELRBKey.
#pragma once

#include <map>
#include <string>

#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_rb_key.h>

/// A key opened by a module's name rather than its path: the module index (the store's
/// component list) names the key that holds the module's settings.
class QEL_API QELRBRootKey : public QELRBKey {
 public:
  /// Throws QELError 160 for a module the index does not know, 158 when the index or the
  /// module's key is missing.
  QELRBRootKey(const std::string& module, const QELConnection& conn);
  /// A handle on the same key as `other`.
  QELRBRootKey(const QELRBRootKey& other);
  /// Makes this handle designate `other`'s key.
  QELRBRootKey& operator=(const QELRBRootKey& other);
  ~QELRBRootKey() override;

 private:
  void Init(const std::string& module);
};

/// Adds this library's version record, then those of the modules it stands on, to `versions`.
QEL_API void GetVersionsList_QELRB_Key(std::map<std::string, std::string>& versions);
