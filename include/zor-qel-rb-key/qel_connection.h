// QELConnection: the public handle on a configuration store; copies share one backend.
// Thread safety: a connection, with every key and iterator made from it, is used by one thread at
// a time; threads that work at once each log in with a connection of their own (they may share
// one store file). Handles sharing a backend may be copied, assigned and destroyed from several
// threads.
#pragma once

#include <string>

#include <zor-qel-rb-key/os_thread.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_shared_pointer.h>

class QELConnectionBase;

class QEL_API QELConnection {
 public:
  enum ConnectionType : int32_t { CORBA = 0, LDAP = 1, INI = 2, RINI = 3, SIMPLE_INI = 4 };

  explicit QELConnection(ConnectionType type = CORBA);
  QELConnection(const QELConnection& other);
  QELConnection& operator=(const QELConnection& other);
  virtual ~QELConnection();

  // Opens the store: for "rini" `host` is "server[:port][/path]", otherwise the INI file's path.
  // Throws QELError on failure (157, the backend's 158 or -7, 1112, 1113, 1114).
  virtual void Login(const std::string& host, int port, const std::string& user,
                     const std::string& password);

  ConnectionType GetConnectionType() const { return type; }
  const std::string GetHost() const;
  // The user given at the last successful login ("" before).
  const std::string GetUser() const;
  int GetPort() const;
  // The backend connection; owned by the handles that share it.
  QELConnectionBase* GetConnection() const;
  // The product version a verifying login read ("" otherwise).
  const std::string& GetVersion() const;
  bool IsUnicodeMode() const;
  // Whether Login verifies the store's language mode and product version.
  void SetCheckValidity(bool check);

  // Keys opened while a transaction is started write nothing until Commit, which writes once.
  void BeginTransaction();
  void Commit();
  bool IsTransactionStarted() const;

  static const std::string ConnectionTypeToString(ConnectionType type);
  static ConnectionType StringToConnectionType(const std::string& text);

 private:
  qel_shared_pointer<QELConnectionBase, os_condition_mutex> backend;
  ConnectionType type;
  bool unicode;
  std::string version;
  bool checkValidity;
};
