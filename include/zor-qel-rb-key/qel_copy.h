/// \file
/// Copying a whole store held by an etcd cluster into another etcd store (another prefix or
/// another cluster) group by group, without holding either tree in memory.
/// Thread safety: a copy uses its own connections to both clusters; copies may run at once.
#pragma once

#include <functional>
#include <string>

#include <zor-qel-rb-key/qel_export.h>

namespace zor::qel {

/// The key a copy in several commits writes into its destination with its first commit and
/// deletes with its last one; its value "source" names the source (credentials masked). While
/// it is there the destination is an unfinished copy, which only the same copy, run again,
/// may finish.
inline constexpr const char* kCopyMarker = "/qelreg-copy-in-progress";
/// The value of the marker key that names the source.
inline constexpr const char* kCopyMarkerSource = "source";

/// A store's address and the user and password that log in to it ("" for a cluster without
/// authentication).
struct StoreLogin {
  std::string address;   ///< "etcd://HOST:PORT,.../PREFIX" or "etcds://..."
  std::string user;      ///< "" for none
  std::string password;  ///< never logged, never part of an error's text
};

/// How a copy commits and what it tells while it runs.
struct CopyOptions {
  /// Keys a commit holds at most; 0 for as many as the destination takes (a commit the cluster
  /// refuses for its size is sent again in halves, and so are the later ones).
  long batch = 0;
  /// Called on the copying thread with a line of progress after each commit but the last and
  /// when commits are halved; may be empty.
  std::function<void(const std::string& line)> progress;
};

/// What a copy did.
struct CopyCounts {
  long keys = 0;         ///< keys of the source (below its root key)
  long values = 0;       ///< their values
  long skipped = 0;      ///< keys an earlier run of the same copy had already written as they are
  bool resumed = false;  ///< the destination held this copy unfinished
};

/// Copies every key of the etcd store `source`, with its values, into the etcd store
/// `destination`, which holds no key yet or the unfinished copy of the same source. The source
/// is read in pages as of one revision and each key's text goes over byte for byte (comments
/// and all) in commits of a bounded size, so that memory stays near a page and a commit whatever
/// the size of the tree. Each commit holds only while nobody else changed the destination since
/// the copy's last look at it. Throws QELError: ErrorCode::kAlreadyExists when the destination
/// holds other keys or another copy, or the source is an unfinished copy; StoreError::kConflict
/// when another writer changed the destination meanwhile (a copy that had committed anything
/// marked it unfinished: run it again); the login's and the cluster's errors as a connection
/// gives them.
QEL_API CopyCounts CopyEtcdStore(const StoreLogin& source, const StoreLogin& destination,
                                 const CopyOptions& options = CopyOptions());

}  // namespace zor::qel
