/// \file
/// The reader interface every walk over subkeys or values implements, and the cursor that owns one.
/// Thread safety: none of their own; one cursor and its reader are used by one thread at a time.
#pragma once

#include <zor-qel-rb-key/qel_export.h>

/// Throws the cursor's end error: QELError "ZORKVA0610E", code 167, without a log record.
[[noreturn]] QEL_API void qel_iterator_end_error();

/// One walk over items of type T, implemented by the library's readers.
template <class T>
class QELConstItemReader {
 public:
  /// The item the walk stands on.
  virtual const T& GetCurrent() const = 0;
  /// Moves to the next item; false (and atEnd set) when there is none.
  virtual bool Next() = 0;
  /// Whether `other` stands on the same item of the same walk.
  virtual bool IsEqual(const QELConstItemReader<T>& other) const = 0;
  virtual ~QELConstItemReader() = default;

  /// True once the reader moved past its last item; never reset.
  bool atEnd = false;
};

/// A cursor that owns one reader and steps it; the public iterators hold one.
template <class T>
class qel_iterator {
 public:
  qel_iterator() = default;
  qel_iterator(const qel_iterator&) = delete;
  qel_iterator& operator=(const qel_iterator&) = delete;
  ~qel_iterator() { delete reader_; }

  /// Deletes the reader held so far and takes ownership of `reader`.
  void Reset(QELConstItemReader<T>* reader) {
    delete reader_;
    reader_ = reader;
  }
  /// The reader held, null before the first Reset.
  const QELConstItemReader<T>* GetReader() const { return reader_; }

  /// The reader's current item.
  const T& operator*() const { return reader_->GetCurrent(); }
  /// Steps the reader; throws QELError 167 without a reader or past the last item.
  qel_iterator& operator++() {
    if (reader_ == nullptr || reader_->atEnd) qel_iterator_end_error();
    reader_->Next();
    return *this;
  }

 private:
  QELConstItemReader<T>* reader_ = nullptr;
};
