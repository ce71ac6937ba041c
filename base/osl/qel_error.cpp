// The exception types: plain values carrying text, code, facility and source.
#include <zor-qel-rb-key/qel_error.h>

QELError::QELError(const std::string& text, long code, long facility, const std::string& file,
                   long line)
    : text_(text), code_(code), facility_(facility), file_(file), line_(line) {}

QELError::~QELError() = default;

QELLogicalError::QELLogicalError(const std::string& text, const std::string& file, long line)
    : QELError(text, kCode, kFacility, file, line) {}

QELLogicalError::~QELLogicalError() = default;
