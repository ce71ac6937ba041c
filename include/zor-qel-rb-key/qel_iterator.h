// The reader interface every walk over subkeys or values implements, and the cursor that owns one.
// Thread safety: none of their own; one cursor and its reader are used by one thread at a time.
#pragma once

#include <zor-qel-rb-key/qel_export.h>

// Throws the cursor's end error: QELError "ZORKVA0610E", code 167, without a log record.
[[noreturn]] QEL_API void qel_iterator_end_error();

template <class T>
class QELConstItemReader {
 public:
  virtual const T& GetCurrent() const = 0;
  virtual bool Next() = 0;
  virtual bool IsEqual(const QELConstItemReader<T>& other) const = 0;
  virtual ~QELConstItemReader() = default;

  // True once the reader moved past its last item; never reset.
  bool atEnd = false;
};

template <class T>
class qel_iterator {
 public:
  qel_iterator() = default;
  qel_iterator(const qel_iterator&) = delete;
  qel_iterator& operator=(const qel_iterator&) = delete;
  ~qel_iterator() { delete reader_; }

  // Deletes the reader held so far and takes ownership of `reader`.
  void Reset(QELConstItemReader<T>* reader) {
    delete reader_;
    reader_ = reader;
  }
  const QELConstItemReader<T>* GetReader() const { return reader_; }

  const T& operator*() const { return reader_->GetCurrent(); }
  qel_iterator& operator++() {
    if (reader_ == nullptr || reader_->atEnd) qel_iterator_end_error();
    reader_->Next();
    return *this;
  }

 private:
  QELConstItemReader<T>* reader_ = nullptr;
};
