// The public iterators over a key's values and subkeys: each owns a cursor that owns the reader a
// search installed, and compares with the other by the reader it holds.
#include <zor-qel-rb-key/qel_rb_iterators.h>

#include <memory>

#include "qel_failures.h"
#include "qel_key.h"
#include "qel_rb_log.h"

namespace {

// Kept for 3.0 programs: see docs/compatibility.md.
constexpr const char* kSource = "src\\qel_rb_iterators";

using ValueCursor = qel_iterator<std::pair<QELNoCaseString, QELRBValue>>;
using KeyCursor = qel_iterator<qel_imp_pointer<QELKey*, QELKeyLifeMgr>>;

// `*` on an iterator that holds no reader, or whose reader passed its last item.
[[noreturn]] void EndIteratorError(const char* function, long line) {
  const QELFailure& failure = qel_failure::kPastEnd;
  const std::string text = CatalogueText(failure) + CodeTag(failure);
  RbLogError(function, text);
  ThrowStatus(Failed(failure, text), kSource, line);
}

// Equal when they are one cursor, hold one reader (or none), or one holds none and the other's
// reader passed its end: so an end iterator equals every exhausted one.
template <class Cursor>
bool SameWalk(const Cursor* a, const Cursor* b) {
  if (a == b) return true;
  const auto* left = a->GetReader();
  const auto* right = b->GetReader();
  if (left == right) return true;
  if (left == nullptr) return right->atEnd;
  if (right == nullptr) return left->atEnd;
  return false;
}

}  // namespace

const QELRBConstValueIterator QELRBConstValueIterator::EndIterator;
const QELRBConstKeyIterator QELRBConstKeyIterator::EndIterator;

QELRBConstValueIterator::QELRBConstValueIterator() : cursor(new ValueCursor) {}

QELRBConstValueIterator::QELRBConstValueIterator(const QELRBKey& key, const std::string& filter)
    : cursor(nullptr) {
  static const char* kFunction = "QELRBConstValueIterator::QELRBConstValueIterator";
  RbTrace(kFunction, [&](CLogMsg& log) {
    log << "Iterated key: " << key.GetKeyPath() << " filter: " << filter;
  });
  auto owned = std::make_unique<ValueCursor>();
  uint32_t count = 0;
  const QELStatus status = key.keyPointer->SearchValues(filter, *owned, count);
  if (!status.Ok()) RbThrowStatus(kFunction, status, kSource, __LINE__);
  cursor = owned.release();
}

QELRBConstValueIterator::QELRBConstValueIterator(const QELRBConstValueIterator&) : cursor(nullptr) {
  throw QELLogicalError(
      "QELRBConstValueIterator::QELRBConstValueIterator(): UNIX ported method is not allowed for "
      "usage",
      kSource, __LINE__);
}

QELRBConstValueIterator& QELRBConstValueIterator::operator=(const QELRBConstValueIterator&) {
  throw QELLogicalError(
      "QELRBConstValueIterator::operator=: UNIX ported method is not allowed for usage", kSource,
      __LINE__);
}

QELRBConstValueIterator::~QELRBConstValueIterator() { delete cursor; }

QELRBConstValueIterator& QELRBConstValueIterator::operator++() {
  ++*cursor;
  return *this;
}

const std::pair<QELNoCaseString, QELRBValue> QELRBConstValueIterator::operator*() const {
  if (cursor->GetReader() == nullptr) {
    EndIteratorError("QELRBConstValueIterator::operator*", __LINE__);
  }
  return **cursor;
}

bool QELRBConstValueIterator::operator==(const QELRBConstValueIterator& other) const {
  return SameWalk(cursor, other.cursor);
}

bool QELRBConstValueIterator::operator!=(const QELRBConstValueIterator& other) const {
  return !(*this == other);
}

QELRBConstKeyIterator::QELRBConstKeyIterator() : key(nullptr), cursor(new KeyCursor) {}

QELRBConstKeyIterator::QELRBConstKeyIterator(const QELRBKey& searched, const std::string& filter,
                                             bool recursive,
                                             const std::list<std::string>& exclusions)
    : key(nullptr), cursor(nullptr) {
  auto handle = std::make_unique<QELRBKey>(searched.connection);
  auto owned = std::make_unique<KeyCursor>();
  uint32_t count = 0;
  const QELStatus status =
      searched.keyPointer->SearchSubKey(filter, *owned, recursive, exclusions, count);
  if (!status.Ok()) RbThrowStatus("QELRBConstKeyIterator::C-tor", status, kSource, __LINE__);
  key = handle.release();
  cursor = owned.release();
}

QELRBConstKeyIterator::QELRBConstKeyIterator(const QELRBConstKeyIterator&)
    : key(nullptr), cursor(nullptr) {
  throw QELLogicalError(
      "QELRBConstKeyIterator::QELRBConstKeyIterator(): UNIX ported method is not allowed for usage",
      kSource, __LINE__);
}

QELRBConstKeyIterator& QELRBConstKeyIterator::operator=(const QELRBConstKeyIterator&) {
  throw QELLogicalError(
      "QELRBConstKeyIterator::operator=: UNIX ported method is not allowed for usage", kSource,
      __LINE__);
}

QELRBConstKeyIterator::~QELRBConstKeyIterator() {
  delete key;
  delete cursor;
}

QELRBConstKeyIterator& QELRBConstKeyIterator::operator++() {
  ++*cursor;
  return *this;
}

// The subkey reader does not guard its current item at the end, so an exhausted iterator is
// refused here like one that never had a reader.
const QELRBKey& QELRBConstKeyIterator::operator*() const {
  const auto* reader = cursor->GetReader();
  if (reader == nullptr || reader->atEnd) {
    EndIteratorError("QELRBConstKeyIterator::operator*", __LINE__);
  }
  key->keyPointer = **cursor;
  return *key;
}

bool QELRBConstKeyIterator::operator==(const QELRBConstKeyIterator& other) const {
  return SameWalk(cursor, other.cursor);
}

bool QELRBConstKeyIterator::operator!=(const QELRBConstKeyIterator& other) const {
  return !(*this == other);
}
