// The backend connections: the abstract QELConnectionBase and the INI ones that open the store at
// login and keep it for the keys.
// Thread safety: Login, BeginTransaction and Commit run in one thread at a time per connection;
// the store holder may be shared and released from several threads.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/os_thread.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_shared_pointer.h>
#include "ini.h"
#include "qel_status.h"

using QELIniHolder = qel_shared_pointer<Ini, os_critical_section>;
class QELLayerStack;

// A backend connection: what a QELConnection logs in with, and what its keys take their store and
// transaction flag from.
class QELConnectionBase {
 public:
  QELConnectionBase() = default;
  // Copies the user, host, port and transaction flag as they are now.
  QELConnectionBase(const QELConnectionBase& other) = default;
  virtual ~QELConnectionBase();

  // Opens the store named by `host` for `user`. On success (0, "") the connection holds the new
  // store (keys made earlier keep theirs); on failure a code and a text saying what happened,
  // never the password, and the connection keeps what it had.
  virtual QELStatus Login(const std::string& host, int port, const std::string& user,
                          const std::string& password) = 0;
  // Keys made from now until Commit write nothing back by themselves. The base does nothing.
  virtual void BeginTransaction();
  // Writes the store back once and ends the transaction. Throws the store's QELError when the
  // write fails; the changes then stay in memory. The base does nothing.
  virtual void Commit();
  // Whether a transaction is open on this object (a copy keeps the flag it was copied with).
  virtual bool IsTransactionStarted() const;
  // Drops the changes not written yet, reads the store again and ends the transaction; sets
  // `changed` as Refresh does. Throws the store's QELError when it cannot be read, and then
  // keeps the changes and the transaction. The base only ends the transaction.
  virtual void DiscardChanges(std::vector<std::string>& changed);

  // Following other writers (see QELConnection::Refresh): reads the store again when it changed
  // and sets `changed` to the sorted paths of the keys whose values or subkeys changed. The
  // base finds no change. Throws the store's QELError when it cannot be read.
  virtual void Refresh(std::vector<std::string>& changed);
  // Waits up to `timeout_ms` for a change as the store can tell it, then does as Refresh; an
  // empty `changed` on timeout, or soon after `*stop` (when not null) becomes non-zero, even
  // while a request is under way. The base only refreshes.
  virtual void WaitForChange(int timeout_ms, std::vector<std::string>& changed,
                             const volatile std::sig_atomic_t* stop);
  // A descriptor that polls readable when the store may have changed, or -1.
  virtual int GetChangeDescriptor() const;

  std::string GetUser() const { return user; }
  std::string GetHost() const { return host; }
  int GetPort() const { return port; }

 protected:
  std::string user;
  std::string host;
  int port = 0;
  bool transactionStarted = false;
};

class QELIniConnection : public QELConnectionBase {
 public:
  QELIniConnection();
  QELIniConnection(const QELIniConnection& other);
  QELIniConnection& operator=(const QELIniConnection& other) = default;
  ~QELIniConnection() override;

  // Opens the local INI file named by `host`, or the stack of stores a "layers:" host names
  // (qel_layer_stack.h); 158 with the "ZORKVA0533E" text on failure.
  QELStatus Login(const std::string& host, int port, const std::string& user,
                  const std::string& password) override;
  void BeginTransaction() override;
  // REQUIRES: a successful login. Flushes the store, then clears the transaction flag.
  void Commit() override;

  // The store holder, for sharing: the top layer of a stack.
  const QELIniHolder& GetIni() const { return store; }
  // The stack a "layers:" login opened, or null for a single store.
  const std::shared_ptr<QELLayerStack>& GetLayers() const { return layers; }

  void DiscardChanges(std::vector<std::string>& changed) override;
  void Refresh(std::vector<std::string>& changed) override;
  void WaitForChange(int timeout_ms, std::vector<std::string>& changed,
                     const volatile std::sig_atomic_t* stop) override;
  int GetChangeDescriptor() const override;

 protected:
  // Puts a newly opened store in and records who opened it.
  void Adopt(Ini* opened, const std::string& user_name, const std::string& host_name);
  // Opens the stack a "layers:" host names and puts it in as Adopt does.
  void AdoptStack(const std::string& host_name, const std::string& user_name,
                  const std::string& password);
  // The "ZORKVA0533E" report of a login that `cause` ended, logged once under `function` in
  // module "ldap_key" at severity 5, with the cause's text (file and line) kept.
  static QELStatus LoginFailure(const char* function, const QELError& cause,
                                const std::string& user, const std::string& host);

  QELIniHolder store;
  std::shared_ptr<QELLayerStack> layers;
};

class QELRemoteIniConnection : public QELIniConnection {
 public:
  QELRemoteIniConnection() = default;
  // Opens the store through the remote service (an etcd cluster for an "etcd://" or "etcds://"
  // host, else a WebDAV server); -7 for rejected credentials, else 158.
  QELStatus Login(const std::string& host, int port, const std::string& user,
                  const std::string& password) override;
};
