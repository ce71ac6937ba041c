// QELValueReader: walks a private snapshot of a key's values, skipping names that fail its
// wildcard pattern.
#include "qel_value_reader.h"

#include <zor-qel-rb-key/qel_error.h>
#include "clog_msg.h"
#include "ini.h"
#include "qel_ini_key.h"

QELValueReader::QELValueReader(const QELIniKey& key, const std::string& filter)
    : QELValueReader(key.GetValueCache(), filter) {}

QELValueReader::QELValueReader(const QELValueMapPointer& cache, const std::string& filter)
    : values(cache), pattern(filter, false) {
  // The reader shares the key's map and never changes it; whoever writes to a shared map first
  // takes a copy of its own (copy-on-write), so the reader walks the values as they stood now,
  // undisturbed by later writes through the key, without copying them.
  const QELValueMap* map = values.operator->();
  position = map->Begin();
  if (position == map->End()) {
    atEnd = true;
  } else if (!IsMatch(position->first)) {
    Next();
  }
}

QELValueReader::~QELValueReader() = default;

bool QELValueReader::IsMatch(const std::string& name) {
  if (pattern.GetPattern() == "*") return true;
  return pattern.Match(name, 0, std::string::npos);
}

bool QELValueReader::Next() {
  if (atEnd) return false;
  const QELValueMap* map = values.operator->();
  const QELValueMap::const_iterator end = map->End();
  while (++position != end) {
    if (IsMatch(position->first)) return true;
  }
  atEnd = true;
  return false;
}

const QELValueItem& QELValueReader::GetCurrent() const {
  if (atEnd) {
    const char* const text = "Attempt to resolve end iterator";
    CLogMsg(nullptr, nullptr, kLogTrace) << kLogError << text << flush;
    throw QELLogicalError(text, "src\\qel_value_reader", __LINE__);
  }
  return *position;
}

bool QELValueReader::IsEqual(const QELConstItemReader<QELValueItem>& other) const {
  if (&other == this) return true;
  const QELValueReader* reader = dynamic_cast<const QELValueReader*>(&other);
  if (reader == nullptr || pattern.GetPattern() != reader->pattern.GetPattern()) return false;
  if (cmp_nocase(position->first, reader->position->first) != 0) return false;
  return position->second == reader->position->second;
}
