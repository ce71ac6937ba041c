// QELValueMap: the ordered, case-insensitively named values that pass between the layers.
#include "qel_value_map.h"

#include <zor-qel-rb-key/qel_error.h>
#include "ini.h"

QELValueMap::~QELValueMap() = default;

QELValueMap::iterator QELValueMap::Find(const std::string& name) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (EqualNoCase(it->first, name)) return it;
  }
  return entries_.end();
}

QELValueMap::const_iterator QELValueMap::Find(std::string_view name) const {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (EqualNoCase(it->first, name)) return it;
  }
  return entries_.end();
}

void QELValueMap::Set(const Entry& entry) {
  const iterator found = Find(entry.first);
  if (found == entries_.end()) {
    entries_.push_back(entry);
  } else {
    found->second = entry.second;
  }
}

void QELValueMap::Set(Entry&& entry) {
  const iterator found = Find(entry.first);
  if (found == entries_.end()) {
    entries_.push_back(std::move(entry));
  } else {
    found->second = std::move(entry.second);
  }
}

void QELValueMap::Append(Entry entry) { entries_.push_back(std::move(entry)); }

QELRBValue& QELValueMap::Get(const std::string& name) {
  const iterator found = Find(name);
  if (found == entries_.end()) {
    throw QELLogicalError("no value", "qel_cfg\\configuration/inc/qel_value_map", 0);
  }
  return found->second;
}

void QELValueMap::Remove(const std::string& name) {
  const iterator found = Find(name);
  if (found != entries_.end()) entries_.erase(found);
}

QELValueMap* QELValueMap::Clone() const { return new QELValueMap(*this); }
