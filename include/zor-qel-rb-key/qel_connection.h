/// \file
/// QELConnection: the public handle on a configuration store; copies share one backend.
/// Thread safety: a connection, with every key and iterator made from it, is used by one thread at
/// a time; threads that work at once each log in with a connection of their own (they may share
/// one store file). Handles sharing a backend may be copied, assigned and destroyed from several
/// threads.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include <zor-qel-rb-key/os_thread.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_shared_pointer.h>

class QELConnectionBase;

/// A connection to one configuration store: made for a connection type, then opened with Login.
/// Keys (QELRBKey, QELRBRootKey) are opened on a logged-in connection. Copies share the login, the
/// store's image in memory and any open transaction.
class QEL_API QELConnection {
 public:
  /// Where the store lives.
  enum ConnectionType : int32_t {
    CORBA = 0,      ///< a local INI file, as INI (kept for programs that still name it)
    LDAP = 1,       ///< a local INI file, as INI (kept for programs that still name it)
    INI = 2,        ///< one INI file on the local disk; Login's host is its path
    RINI = 3,       ///< a remote store: an INI file on a WebDAV server, or an etcd cluster
    SIMPLE_INI = 4  ///< a local INI file, as INI (kept for programs that still name it)
  };

  /// A connection of `type`, not yet logged in.
  explicit QELConnection(ConnectionType type = CORBA);
  /// A handle on the same login and store as `other`.
  QELConnection(const QELConnection& other);
  /// Makes this handle share `other`'s login and store.
  QELConnection& operator=(const QELConnection& other);
  virtual ~QELConnection();

  /// Opens the store: for "rini" `host` is "server[:port][/path]", otherwise the INI file's path.
  /// Throws QELError on failure (157, the backend's 158 or -7, 1112, 1113, 1114).
  virtual void Login(const std::string& host, int port, const std::string& user,
                     const std::string& password);

  /// The type the connection was made for.
  ConnectionType GetConnectionType() const { return type; }
  /// The host (or file path) given at the last successful login ("" before).
  const std::string GetHost() const;
  /// The user given at the last successful login ("" before).
  const std::string GetUser() const;
  /// The port given at the last successful login; no store uses it.
  int GetPort() const;
  /// The backend connection; owned by the handles that share it.
  QELConnectionBase* GetConnection() const;
  /// The product version a verifying login read ("" otherwise).
  const std::string& GetVersion() const;
  /// Whether a verifying login found the store in unicode mode (false otherwise).
  bool IsUnicodeMode() const;
  /// Whether Login verifies the store's language mode and product version.
  void SetCheckValidity(bool check);

  /// Keys opened while a transaction is started write nothing until Commit, which writes once.
  void BeginTransaction();
  /// Writes every change of the transaction at once and ends it; throws QELError when the write
  /// fails, and the transaction then stays open with its changes.
  void Commit();
  /// Whether a transaction is open (begun and not yet committed).
  bool IsTransactionStarted() const;
  /// Abandons the changes not written yet (those of a Commit that failed: too large for the
  /// store, server down), reads the store again and ends an open transaction. Returns the keys
  /// that changed, as Refresh does: the abandoned changes and what other writers did meanwhile.
  /// Throws QELError when the store cannot be read; the changes and the transaction then stay.
  std::vector<std::string> DiscardChanges();

  /// Following other writers. A connection reads its store at login and then works in memory;
  /// these calls bring in what other processes, hosts or logins wrote since.
  /// Refresh: when the store changed since this connection last read or wrote it, reads it again
  /// and replays this connection's unwritten changes (an open transaction's) on top, as a write
  /// would. Returns the sorted paths of the keys whose values changed and of the keys whose
  /// subkeys came or went ("" is the root); empty when nothing changed, which costs one stat of
  /// a local file, one conditional GET of a WebDAV file or one revision check of an etcd prefix.
  /// Keys already open read the new values on their next call (their value cache is reloaded);
  /// an iterator keeps what it walks.
  /// Throws QELError when the store cannot be read; this connection's data then stays as it was.
  std::vector<std::string> Refresh();
  /// Blocks up to `timeout_ms` until another writer changes the store, then does as Refresh;
  /// returns at once when it changed already, and an empty list on timeout. A local store is
  /// watched (inotify on its directory, since writers replace it by rename), an etcd prefix by an
  /// etcd watch; a WebDAV file is asked again every QEL_REMOTE_POLL_INTERVAL seconds (2 by
  /// default).
  std::vector<std::string> WaitForChange(int timeout_ms);
  /// As above, but returns an empty list soon after `stop` becomes non-zero (set by a signal
  /// handler, say): within a tenth of a second while it waits on a remote store, even in the
  /// middle of a request; a local store's wait may first run to its end.
  std::vector<std::string> WaitForChange(int timeout_ms, const volatile std::sig_atomic_t& stop);
  /// For a host's own event loop: a descriptor that polls readable when the store may have
  /// changed (then call Refresh, which may find nothing); owned by the connection's store. -1
  /// when the store has none (the remote kinds: call Refresh on a timer).
  int GetChangeDescriptor() const;

  /// The type's name: "corba", "ldap", "ini" or "rini"; throws QELLogicalError for another.
  static const std::string ConnectionTypeToString(ConnectionType type);
  /// The type named `text` ("corba", "ldap", "ini", "rini", "simple_ini", in any letter case);
  /// throws QELLogicalError for another name.
  static ConnectionType StringToConnectionType(const std::string& text);

 private:
  qel_shared_pointer<QELConnectionBase, os_condition_mutex> backend;
  ConnectionType type;
  bool unicode;
  std::string version;
  bool checkValidity;
};
