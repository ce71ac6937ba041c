// Key factories: the one place where a connection type is tied to its backend classes.
// Thread safety: GetKeyFactory may be called from any thread; factories have no state.
#pragma once

#include <string>

#include <zor-qel-rb-key/qel_connection.h>

class QELKey;
class QELConnectionBase;
class QELConfigMapBase;

class QELKeyFactory {
 public:
  virtual ~QELKeyFactory();
  // Each operation returns a new heap object that the caller owns.
  virtual QELKey* CreateKey(const std::string& path, QELConnectionBase* connection) = 0;
  virtual QELKey* CreateRootKey(QELConnectionBase* connection) = 0;
  virtual QELConnectionBase* CreateConnection() = 0;
  virtual QELConfigMapBase* CreateConfigMap(QELConnectionBase* connection) = 0;
};

class QELIniFactory : public QELKeyFactory {
 public:
  QELKey* CreateKey(const std::string& path, QELConnectionBase* connection) override;
  QELKey* CreateRootKey(QELConnectionBase* connection) override;
  QELConnectionBase* CreateConnection() override;
  QELConfigMapBase* CreateConfigMap(QELConnectionBase* connection) override;
};

class QELRemoteIniFactory : public QELIniFactory {
 public:
  QELConnectionBase* CreateConnection() override;
};

// The factory of `type`, from the table built once on first use; owned by the table.
QELKeyFactory* GetKeyFactory(QELConnection::ConnectionType type);
