// Every failure the library reports with its code and the id of its catalogue text, written
// once, and the one way to make a failed QELStatus or a QELError from them.
// Thread safety: constants and functions without state.
#pragma once

#include <cstdint>
#include <string>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "qel_status.h"

struct QELFailure {
  int32_t code;
  const char* message_id;
};

namespace qel_failure {

using zor::qel::ErrorCode;

constexpr int32_t Code(ErrorCode code) { return static_cast<int32_t>(code); }

constexpr QELFailure kLoginArgumentMissing{Code(ErrorCode::kLoginArgumentMissing), "ZORKVA0532E"};
constexpr QELFailure kStoreNotOpened{Code(ErrorCode::kStoreNotOpened), "ZORKVA0533E"};
constexpr QELFailure kNoKey{Code(ErrorCode::kNoKey), "ZORKVA0601E"};
constexpr QELFailure kAlreadyExists{Code(ErrorCode::kAlreadyExists), "ZORKVA0602E"};
constexpr QELFailure kNoValue{Code(ErrorCode::kNoValue), "ZORKVA0603E"};
constexpr QELFailure kInvalidPath{Code(ErrorCode::kInvalidPath), "ZORKVA0607E"};
constexpr QELFailure kPastEnd{Code(ErrorCode::kPastEnd), "ZORKVA0610E"};
constexpr QELFailure kUnstorableValue{Code(ErrorCode::kUnstorableValue), "ZORKVA0611E"};
constexpr QELFailure kTruncatedValue{Code(ErrorCode::kUnstorableValue), "ZORKVA0612E"};
constexpr QELFailure kUnicodeMismatch{Code(ErrorCode::kUnicodeMismatch), "ZORKVA1112E"};
constexpr QELFailure kUnsupportedVersion{Code(ErrorCode::kUnsupportedVersion), "ZORKVA1113E"};
constexpr QELFailure kConfigurationUnreadable{Code(ErrorCode::kConfigurationUnreadable),
                                              "ZORKVA1114E"};
// The login entry trace's message; not a failure, but its id lives with the others.
constexpr const char* kLoginTraceId = "ZORKVA0551I";
constexpr int32_t kCredentialsRejected = Code(ErrorCode::kCredentialsRejected);

constexpr long kLibraryFacility = static_cast<long>(zor::qel::Facility::kLibrary);
constexpr long kKeyPathFacility = static_cast<long>(zor::qel::Facility::kKeyPath);

}  // namespace qel_failure

// The failed status whose message is the bare message id.
inline QELStatus Failed(const QELFailure& failure) {
  return QELStatus(failure.code, failure.message_id);
}

// The failed status with a message of its own (one that begins with the catalogue text).
inline QELStatus Failed(const QELFailure& failure, std::string text) {
  return QELStatus(failure.code, std::move(text));
}

// The catalogue text of the failure's id.
std::string CatalogueText(const QELFailure& failure);

// " [code]", the tag that follows the catalogue text in the library's formatted messages.
std::string CodeTag(const QELFailure& failure);

// Throws a failed status as the QELError of facility 12 from `source`:`line`.
[[noreturn]] inline void ThrowStatus(const QELStatus& status, const char* source, long line) {
  throw QELError(status.message, status.code, qel_failure::kLibraryFacility, source, line);
}
