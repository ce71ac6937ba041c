// QELValueReader: walks a snapshot of a key's values whose names match a wildcard.
// Thread safety: a reader is used by one thread at a time.
#pragma once

#include <string>

#include "qel_key.h"
#include "wildcard.h"

class QELIniKey;

class QELValueReader : public QELConstItemReader<QELValueItem> {
 public:
  // Takes a snapshot of `key`'s values (shared with the key until either changes them) and
  // stands on the first matching one. Throws the null-pointer QELLogicalError when the key has
  // no value cache.
  QELValueReader(const QELIniKey& key, const std::string& pattern);
  // The same over a value cache of any key.
  QELValueReader(const QELValueMapPointer& values, const std::string& pattern);
  ~QELValueReader() override;

  // Throws QELLogicalError "Attempt to resolve end iterator" (after a record) at the end.
  const QELValueItem& GetCurrent() const override;
  bool Next() override;
  bool IsEqual(const QELConstItemReader<QELValueItem>& other) const override;
  virtual bool IsMatch(const std::string& name);

 private:
  // Shared with the key and never changed through here: const, so that no access can make the
  // reader copy the map and leave `position` in the key's.
  const QELValueMapPointer values;
  QELValueMap::const_iterator position;
  WildcardString pattern;
};
