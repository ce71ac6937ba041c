// Choosing and opening the store qelreg works on: a local INI file, one read from standard input,
// or a remote one.
#pragma once

#include <memory>
#include <string>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_copy.h>
#include "errors.h"

namespace qelreg {

struct StoreOptions {
  std::string file;     // --store: a local INI file, "-" for standard input
  std::string remote;   // --remote: HOST[/PATH] of a remote store
  std::string user;     // --user: the remote user
  bool verify = false;  // --verify: check the store's language mode and product version
  bool create = false;  // --create: make a missing local store file when the call writes
  int layer = 0;        // --layer: one layer (from 1, the bottom) of a "layers:" stack alone
};

// The bytes of standard input; throws ToolError when it cannot be read.
std::string ReadStandardInput();

// Bytes already read (standard input, an import file) in a private file, in a directory of its
// own that goes with it.
class PrivateCopy {
 public:
  // Throws ToolError when the copy cannot be written.
  explicit PrivateCopy(const std::string& bytes);
  ~PrivateCopy();
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

// A login on the chosen store for one call, with what has to live as long as it does.
class Store {
 public:
  // Logs in. `changes`: the call writes, which a store read from standard input refuses and which
  // lets --create make a missing store file (mode 0600). Throws ToolError when the options name
  // no usable store and QELError when the library refuses the login.
  Store(const StoreOptions& options, bool changes);
  // Logs in on a store named by one address: an "http://", "https://" (WebDAV), "etcd://" or
  // "etcds://" address as `user`, else a local file, which a call that `changes` it makes when
  // it is missing.
  Store(const std::string& address, const std::string& user, bool changes);
  // Removes a store file this call created when nothing was written to it.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  QELConnection& Connection() { return connection_; }

 private:
  std::unique_ptr<PrivateCopy> copy_;  // the store read from standard input
  std::string created_;                // the store file --create made, if it did
  QELConnection connection_;
};

// Whether `address` names a remote store by its scheme (WebDAV or etcd), in any case.
bool IsRemoteAddress(const std::string& address);

// Whether `address` names an etcd store ("etcd://" or "etcds://" in any case).
bool IsEtcdAddress(const std::string& address);

// The login to the remote store at `address` as `user`, with the password from QEL_PASSWORD or
// the terminal (none for an etcd cluster without a user).
zor::qel::StoreLogin RemoteLogin(const std::string& address, const std::string& user);

// Takes the store from the environment variable QEL_STORE (a file, or a remote address as copy
// takes it) when neither --store nor --remote names one.
void StoreFromEnvironment(StoreOptions& options);

}  // namespace qelreg
