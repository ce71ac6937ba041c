/// \file
/// zor::qel: a thin C++17 layer beside the key API: reads in place and typed reads with defaults,
/// range-for over a key's subkeys and values, and a transaction guard. Header-only; it uses only
/// the exported API.
/// Thread safety: that of the key API: a connection, with every key, range and guard made from it,
/// is used by one thread at a time.
#pragma once

#include <charconv>
#include <limits>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/zor_qel_rb_key.h>

namespace zor::qel {

/// A value that is present but does not read as the type asked for. A QELError with code
/// ErrorCode::kMalformedValue and facility Facility::kLibrary; its text names the key, the value,
/// the type and what is wrong, never the value's content (values may hold secrets): Elements()
/// gives that to a program that wants to show it.
class MalformedValueError : public QELError {
 public:
  /// The error of value `name` of the key at `key_path`: `problem` says what is wrong, `elements`
  /// are the value's content and `line` the source line that found it.
  MalformedValueError(const std::string& key_path, const std::string& name,
                      const std::string& problem, std::vector<std::string> elements, long line)
      : QELError("malformed value \"" + name + "\" of key " + key_path + ": " + problem,
                 static_cast<long>(ErrorCode::kMalformedValue),
                 static_cast<long>(Facility::kLibrary), "zor-qel-rb-key/zor_qel.h", line),
        key_path_(key_path),
        name_(name),
        elements_(std::move(elements)) {}

  /// The path of the key holding the value.
  const std::string& KeyPath() const { return key_path_; }
  /// The value's name.
  const std::string& ValueName() const { return name_; }
  /// The value's elements, as stored.
  const std::vector<std::string>& Elements() const { return elements_; }

 private:
  std::string key_path_;
  std::string name_;
  std::vector<std::string> elements_;
};

/// A value read in place, without a copy, or none: View(key, name) finds it. Reading it allocates
/// nothing. It stays valid until the handle it came from next changes:
/// - a write or move through that handle (SetValue, AddValue, DeleteValue, SetValues, ChangeKey,
///   Up, CommitSuicide, assignment to it, its destruction) ends every view taken from it;
/// - after the store changed (QELConnection::Refresh or WaitForChange brought in another writer's
///   changes, or another handle of the connection wrote), the next read through that handle, or
///   through a copy of it, may reload the key's values and so end the views taken before.
/// Until then the store changing, other handles writing, and the key being erased leave a view
/// reading the value it showed when taken. Copy what must outlive that (QELRBValue(*view)).
class ValueView {
 public:
  /// An absent view.
  ValueView() = default;
  /// A view of `value`, absent when it is null.
  explicit ValueView(const QELRBValue* value) : value_(value) {}

  /// Whether the key held the value.
  bool Present() const { return value_ != nullptr; }
  /// Present().
  explicit operator bool() const { return Present(); }
  /// The value. REQUIRES: Present().
  const QELRBValue& operator*() const { return *value_; }
  /// The value, for member access. REQUIRES: Present().
  const QELRBValue* operator->() const { return value_; }
  /// The value's elements. REQUIRES: Present().
  const std::vector<std::string>& Elements() const { return value_->Elements(); }

 private:
  const QELRBValue* value_ = nullptr;
};

/// The value `name` of `key` in place (see ValueView), or an absent view when the key has no value
/// of that name; no error record either way. To read many keys, move one handle from key to key
/// with ChangeKey("/absolute/path") rather than constructing a handle for each: a move hashes the
/// path once and allocates nothing once the handle's path has room for the new one.
///   QELRBKey key(connection);
///   key.ChangeKey("/Service");
///   if (const zor::qel::ValueView host = zor::qel::View(key, "host")) Use(host->Elements());
inline ValueView View(const QELRBKey& key, std::string_view name) {
  return ValueView(key.FindValue(name));
}
// A handle made for the call alone would end its view with the call.
ValueView View(const QELRBKey&& key, std::string_view name) = delete;

namespace detail {

/// The one element of a value read as a scalar: empty and multi-element values are malformed.
/// `type` is what was asked for, with its article ("an integer").
inline const std::string& SingleElement(const QELRBKey& key, const std::string& name,
                                        const QELRBValue& value, const char* type) {
  if (value.Size() == 1) return value.Elements().front();
  const std::string problem =
      (value.Empty() ? std::string("empty")
                     : "a list of " + std::to_string(value.Size()) + " elements") +
      ", not " + type;
  throw MalformedValueError(key.GetKeyPath(), name, problem, value.Elements(), __LINE__);
}

/// Decimal digits after an optional sign, nothing around them. A number beyond the type's bounds
/// is told apart from text that is no number, and its message gives the bounds.
template <class Integer>
bool ParseInteger(const std::string& text, Integer& number, std::string& problem) {
  using Limits = std::numeric_limits<Integer>;
  const char* first = text.data();
  const char* const last = first + text.size();
  const bool negative = first != last && *first == '-';
  if (first != last && (*first == '-' || *first == '+')) ++first;
  unsigned long long magnitude = 0;
  const std::from_chars_result read = std::from_chars(first, last, magnitude);
  if (first == last || *first < '0' || *first > '9' || read.ptr != last) {
    problem = "not a decimal integer";
    return false;
  }
  unsigned long long most = static_cast<unsigned long long>(Limits::max());
  if constexpr (std::is_signed_v<Integer>) {
    if (negative) most += 1;  // |min| is max + 1
  } else {
    if (negative) most = 0;  // "-0" is still zero
  }
  if (read.ec == std::errc::result_out_of_range || magnitude > most) {
    problem = "out of range (" + std::to_string(Limits::min()) + ".." +
              std::to_string(Limits::max()) + ")";
    return false;
  }
  if (!negative || magnitude == 0) {
    number = static_cast<Integer>(magnitude);
  } else {
    // Built from -(magnitude - 1) so that the type's minimum never overflows on the way.
    number = static_cast<Integer>(-static_cast<long long>(magnitude - 1) - 1);
  }
  return true;
}

}  // namespace detail

/// The value as one string; `fallback` when the key has no value of that name. An empty value
/// reads as "". Throws MalformedValueError for a list of more than one element.
inline std::string ReadString(const QELRBKey& key, const std::string& name,
                              const std::string& fallback) {
  const ValueView value = View(key, name);
  if (!value) return fallback;
  if (value->Empty()) return std::string();
  return detail::SingleElement(key, name, *value, "a string");
}

/// The value as a decimal integer of the type of `fallback` ("80", "-3", "+7"; no blanks, no
/// other base), or `fallback` when the key has no value of that name. Throws MalformedValueError
/// for anything else, an empty value or one out of the type's range included:
///   const uint16_t port = ReadInteger<uint16_t>(key, "port", 8080);
template <class Integer>
Integer ReadInteger(const QELRBKey& key, const std::string& name, Integer fallback) {
  static_assert(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>,
                "ReadInteger reads integers; use ReadBool for bool");
  const ValueView value = View(key, name);
  if (!value) return fallback;
  const std::string& text = detail::SingleElement(key, name, *value, "an integer");
  Integer number{};
  std::string problem;
  if (!detail::ParseInteger(text, number, problem)) {
    throw MalformedValueError(key.GetKeyPath(), name, problem, value.Elements(), __LINE__);
  }
  return number;
}

/// The value as a boolean: "true", "yes", "on", "1" or "false", "no", "off", "0" in any letter
/// case; `fallback` when the key has no value of that name. Throws MalformedValueError for
/// anything else, an empty value included.
inline bool ReadBool(const QELRBKey& key, const std::string& name, bool fallback) {
  const ValueView value = View(key, name);
  if (!value) return fallback;
  const std::string_view text = detail::SingleElement(key, name, *value, "a boolean");
  auto is = [text](std::string_view word) {
    return text.size() == word.size() && QELNoCaseString::CompareText(text, word) == 0;
  };
  if (is("true") || is("yes") || is("on") || is("1")) return true;
  if (is("false") || is("no") || is("off") || is("0")) return false;
  throw MalformedValueError(key.GetKeyPath(), name,
                            "not a boolean (true/false, yes/no, on/off, 1/0)", value.Elements(),
                            __LINE__);
}
/// A text default would convert to `true`; say "true" or "false" as a bool.
bool ReadBool(const QELRBKey& key, const std::string& name, const char* fallback) = delete;

/// The value's elements, in order; `fallback` when the key has no value of that name. Every value
/// is a list, so this read never fails on the value itself.
inline std::vector<std::string> ReadList(const QELRBKey& key, const std::string& name,
                                         std::vector<std::string> fallback = {}) {
  const ValueView value = View(key, name);
  if (!value) return fallback;
  return value.Elements();
}

/// The end of a walk in a range-for.
struct WalkEnd {};

/// The subkeys of a key for a range-for: `for (const QELRBKey& sub : Subkeys(key))`. Each step
/// yields a handle of its own, valid after the loop. The walk starts at begin() (a bad selector or
/// an empty key handle throws there) and sees the store as it is while it walks.
class SubkeyRange {
 public:
  /// A step of the walk.
  class Iterator {
   public:
    /// The step at the start of `walk`.
    explicit Iterator(std::unique_ptr<QELRBConstKeyIterator> walk) : walk_(std::move(walk)) {}
    /// A handle of its own on the current subkey.
    QELRBKey operator*() const { return **walk_; }
    /// Moves to the next chosen subkey.
    Iterator& operator++() {
      ++*walk_;
      return *this;
    }
    /// Whether the walk is past its last subkey.
    bool operator==(WalkEnd) const { return *walk_ == QELRBConstKeyIterator::EndIterator; }
    /// Whether the walk stands on a subkey.
    bool operator!=(WalkEnd end) const { return !(*this == end); }

   private:
    std::unique_ptr<QELRBConstKeyIterator> walk_;
  };

  /// The subkeys of `key` that `selector` chooses; with `recursive`, at any depth.
  SubkeyRange(const QELRBKey& key, std::string selector, bool recursive)
      : key_(key), selector_(std::move(selector)), recursive_(recursive) {}
  /// Starts the walk; throws QELError for an empty key handle or a deleted key.
  Iterator begin() const {
    return Iterator(std::make_unique<QELRBConstKeyIterator>(key_, selector_, recursive_,
                                                            std::list<std::string>()));
  }
  /// The end of the walk.
  WalkEnd end() const { return {}; }

 private:
  QELRBKey key_;
  std::string selector_;
  bool recursive_;
};

/// The values of a key for a range-for: `for (const auto& [name, value] : Values(key))`. Each
/// step yields a copy of the name (a QELNoCaseString) and of the value.
class ValueRange {
 public:
  /// A step of the walk.
  class Iterator {
   public:
    /// The step at the start of `walk`.
    explicit Iterator(std::unique_ptr<QELRBConstValueIterator> walk) : walk_(std::move(walk)) {}
    /// A copy of the current name and value.
    std::pair<QELNoCaseString, QELRBValue> operator*() const { return **walk_; }
    /// Moves to the next matching value.
    Iterator& operator++() {
      ++*walk_;
      return *this;
    }
    /// Whether the walk is past its last value.
    bool operator==(WalkEnd) const { return *walk_ == QELRBConstValueIterator::EndIterator; }
    /// Whether the walk stands on a value.
    bool operator!=(WalkEnd end) const { return !(*this == end); }

   private:
    std::unique_ptr<QELRBConstValueIterator> walk_;
  };

  /// The values of `key` whose names match the wildcard `pattern`.
  ValueRange(const QELRBKey& key, std::string pattern) : key_(key), pattern_(std::move(pattern)) {}
  /// Starts the walk; throws QELError for an empty key handle or a deleted key.
  Iterator begin() const {
    return Iterator(std::make_unique<QELRBConstValueIterator>(key_, pattern_));
  }
  /// The end of the walk.
  WalkEnd end() const { return {}; }

 private:
  QELRBKey key_;
  std::string pattern_;
};

/// The direct subkeys of `key` that `selector` chooses, in the store's order. The default
/// selector "(key=*)" chooses every subkey but the store's component list
/// (/ZOR_Software/qel4ds/Config/component_info).
inline SubkeyRange Subkeys(const QELRBKey& key, std::string selector = "(key=*)") {
  return SubkeyRange(key, std::move(selector), false);
}

/// Every key beneath `key`, at any depth, that `selector` chooses; a key comes before its subkeys.
inline SubkeyRange AllSubkeys(const QELRBKey& key, std::string selector = "(key=*)") {
  return SubkeyRange(key, std::move(selector), true);
}

/// The values of `key` whose names match the wildcard `pattern`, in the key's order.
inline ValueRange Values(const QELRBKey& key, std::string pattern = "*") {
  return ValueRange(key, std::move(pattern));
}

/// A transaction for the length of a scope. The store cannot take changes back, so the guard
/// never writes on its own and never pretends to roll back:
/// - The constructor begins a transaction on `connection`. A connection already in one (begun by
///   hand, or left open by a guard that was not committed) is refused with QELLogicalError: a
///   guard neither joins nor ends a transaction it did not begin.
/// - Commit() writes the transaction's changes to the store at once and ends it. When the write
///   fails it throws the store's QELError, the store stays as it was and the transaction stays
///   open with its changes in memory: Commit() may be called again.
/// - Discard() abandons the changes (after a Commit() that failed, say), reads the store again
///   and ends the transaction (QELConnection::DiscardChanges).
/// - Destroyed without a successful Commit() or Discard() (an exception left the scope, say), the
///   guard writes nothing and the transaction stays open: the changes made in it stay in the
///   connection's memory, and its next Commit writes them; QELConnection::DiscardChanges drops
///   them.
/// Keys opened inside the scope write at Commit; a key opened before the guard writes at once,
/// and with it everything the transaction changed so far, so change the store only through keys
/// opened inside. Those keys keep writing only at a Commit, also after this one: open keys anew
/// for changes after the guard.
class Transaction {
 public:
  /// Begins a transaction on `connection`; throws QELLogicalError when one is open already.
  explicit Transaction(const QELConnection& connection) : connection_(connection) {
    if (connection_.IsTransactionStarted()) {
      throw QELLogicalError(
          "a transaction is already open on this connection (begun by hand, or not committed)",
          "zor-qel-rb-key/zor_qel.h", __LINE__);
    }
    connection_.BeginTransaction();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() = default;

  /// Writes and ends the transaction; throws QELLogicalError when it was committed or
  /// discarded already.
  void Commit() {
    RefuseEnded();
    connection_.Commit();
    committed_ = true;
  }
  /// Abandons the transaction's changes and reads the store again; returns the keys that changed
  /// (QELConnection::DiscardChanges). Throws QELLogicalError when it was committed or discarded
  /// already, QELError when the store cannot be read (the transaction then stays open).
  std::vector<std::string> Discard() {
    RefuseEnded();
    std::vector<std::string> changed = connection_.DiscardChanges();
    discarded_ = true;
    return changed;
  }
  /// Whether Commit() succeeded.
  bool Committed() const { return committed_; }
  /// Whether Discard() succeeded.
  bool Discarded() const { return discarded_; }

 private:
  void RefuseEnded() const {
    if (committed_ || discarded_) {
      throw QELLogicalError(committed_ ? "the transaction was committed already"
                                       : "the transaction was discarded already",
                            "zor-qel-rb-key/zor_qel.h", __LINE__);
    }
  }

  QELConnection connection_;
  bool committed_ = false;
  bool discarded_ = false;
};

}  // namespace zor::qel
