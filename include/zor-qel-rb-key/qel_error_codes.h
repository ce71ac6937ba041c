/// \file
/// The codes and facilities of the QELErrors this library throws: what QELError::Code() and
/// QELError::Facility() answer, named.
/// Thread safety: constants only.
#pragma once

namespace zor::qel {

/// Which part of the system reported an error.
enum class Facility : long {
  kStore = 1,     ///< the INI store: loading, writing back, the remote service (StoreError codes)
  kKeyPath = 4,   ///< a key made on an invalid path (ErrorCode::kInvalidPath)
  kLibrary = 12,  ///< everything else (ErrorCode codes)
};

/// The codes of facility kLibrary (and kKeyPath).
enum class ErrorCode : long {
  kCredentialsRejected = -7,    ///< the remote service refused the login's user and password
  kLoginArgumentMissing = 157,  ///< host or user missing at login
  kStoreNotOpened = 158,        ///< the store cannot be opened at login
  kNoKey = 158,                 ///< no key at that path
  kAlreadyExists = 159,         ///< the subkey or list element already exists
  kNoValue = 160,               ///< no value of that name
  kInvalidPath = 164,           ///< invalid key path or subkey name
  kPastEnd = 167,               ///< an iterator used past its end
  /// An element holds the byte 0x1B that separates elements, or a stored value holds bytes
  /// after its last one.
  kUnstorableValue = 168,
  kMalformedValue = 169,            ///< a typed read (zor_qel.h) found a value not of its type
  kUnicodeMismatch = 1112,          ///< the store's unicode mode differs from the process's
  kUnsupportedVersion = 1113,       ///< the store's product version is not supported
  kConfigurationUnreadable = 1114,  ///< the store's configuration key cannot be read
};

/// The codes of facility kStore.
enum class StoreError : long {
  kFileNotFound = 1,  ///< the file does not exist
  kReadFailed = 2,    ///< it exists but cannot be read (or is no regular file)
  kBadSyntax = 3,     ///< a line is not a group header, an entry, a comment or blank
  kWriteFailed = 4,   ///< writing the file back failed; the old file is intact
  kLocked = 5,        ///< another writer held the store's lock past the wait bound
  kConflict = 6,      ///< concurrent writers kept changing the store; changes kept in memory
  kRemoteFailed = 7,  ///< the remote service failed (the text says how)
};

}  // namespace zor::qel
