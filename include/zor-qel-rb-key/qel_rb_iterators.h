/// \file
/// The public iterators over a key's values and subkeys.
/// Thread safety: an iterator is used by one thread at a time.
#pragma once

#include <list>
#include <string>
#include <utility>

#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_imp_pointer.h>
#include <zor-qel-rb-key/qel_iterator.h>
#include <zor-qel-rb-key/qel_no_case_string.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include <zor-qel-rb-key/qel_rb_value.h>

/// Walks the values of a key whose names match a wildcard pattern:
///   for (QELRBConstValueIterator it(key, "*"); it != QELRBConstValueIterator::EndIterator; ++it)
class QEL_API QELRBConstValueIterator {
 public:
  /// The iterator every walk equals once past its last value.
  static const QELRBConstValueIterator EndIterator;

  /// An iterator without a walk; it equals EndIterator.
  QELRBConstValueIterator();
  /// Walks the values of `key` whose whole names match the wildcard pattern `filter`, byte for
  /// byte ("*" any run, "?" one byte, "[a-z]" a class; "*" for all), in the key's order; throws
  /// QELError on an empty or deleted key.
  QELRBConstValueIterator(const QELRBKey& key, const std::string& filter);
  ~QELRBConstValueIterator();

  /// Moves to the next matching value; throws QELError 167 past the last one.
  QELRBConstValueIterator& operator++();
  /// A copy of the current name and value.
  const std::pair<QELNoCaseString, QELRBValue> operator*() const;
  /// True for the same walk, and between EndIterator and a walk past its last value.
  bool operator==(const QELRBConstValueIterator& other) const;
  /// The opposite of ==.
  bool operator!=(const QELRBConstValueIterator& other) const;

 private:
  friend class QELRBKey;
  /// Copies are not allowed; reaching these throws QELLogicalError.
  QELRBConstValueIterator(const QELRBConstValueIterator& other);
  QELRBConstValueIterator& operator=(const QELRBConstValueIterator& other);

  qel_iterator<std::pair<QELNoCaseString, QELRBValue>>* cursor;
};

/// Walks the subkeys of a key that a selector filter chooses ("(key=*)" for all; the README's
/// "Selectors" gives the rules), in the store's order.
class QEL_API QELRBConstKeyIterator {
 public:
  /// The iterator every walk equals once past its last subkey.
  static const QELRBConstKeyIterator EndIterator;

  /// An iterator without a walk; it equals EndIterator.
  QELRBConstKeyIterator();
  /// Walks the subkeys of `key` that `filter` selects: its direct subkeys, or with `recursive`
  /// every key beneath it, a key before its subkeys. `exclusions` is accepted and not used.
  /// Throws QELError on an empty or deleted key.
  QELRBConstKeyIterator(const QELRBKey& key, const std::string& filter, bool recursive,
                        const std::list<std::string>& exclusions);
  ~QELRBConstKeyIterator();

  /// Moves to the next selected subkey; throws QELError 167 past the last one.
  QELRBConstKeyIterator& operator++();
  /// The current subkey; the reference stays valid while the iterator lives and designates the
  /// next subkey after the next `*`. Copy it to keep it. Throws QELError 167 on an iterator
  /// without a reader or past its last subkey.
  const QELRBKey& operator*() const;
  /// True for the same walk, and between EndIterator and a walk past its last subkey.
  bool operator==(const QELRBConstKeyIterator& other) const;
  /// The opposite of ==.
  bool operator!=(const QELRBConstKeyIterator& other) const;

 private:
  friend class QELRBKey;
  QELRBConstKeyIterator(const QELRBConstKeyIterator& other);
  QELRBConstKeyIterator& operator=(const QELRBConstKeyIterator& other);

  QELRBKey* key;
  qel_iterator<qel_imp_pointer<QELKey*, QELKeyLifeMgr>>* cursor;
};
