// Key factories and the process-wide table that ties each connection type to one of them.
#include "qel_key_factory.h"

#include <atomic>
#include <memory>
#include <typeinfo>

#include <zor-qel-rb-key/os_thread.h>
#include "qel_config_map.h"
#include "qel_ini_connection.h"
#include "qel_ini_key.h"
#include "qel_layer_key.h"

namespace {

// The stack a connection logged in to, or null for a single store (or no INI connection).
const QELIniConnection* StackConnection(const QELConnectionBase* connection) {
  // Most connections are exactly local INI ones: one comparison of types instead of a search.
  const QELIniConnection* ini = typeid(*connection) == typeid(QELIniConnection)
                                    ? static_cast<const QELIniConnection*>(connection)
                                    : dynamic_cast<const QELIniConnection*>(connection);
  return ini != nullptr && ini->GetLayers() ? ini : nullptr;
}

// The table owns its factories; it is filled once and never changes afterwards. Its entries and
// the flag are constant-initialised, so they are valid even before dynamic initialisation.
std::unique_ptr<QELKeyFactory> factory_table[5];
std::atomic<bool> factory_table_built{false};
os_critical_section factory_table_lock(false);

void BuildFactoryTable() {
  factory_table[QELConnection::INI] = std::make_unique<QELIniFactory>();
  // Kept for 3.0 programs: see docs/compatibility.md.
  factory_table[QELConnection::SIMPLE_INI] = std::make_unique<QELIniFactory>();
  factory_table[QELConnection::LDAP] = std::make_unique<QELIniFactory>();
  factory_table[QELConnection::CORBA] = std::make_unique<QELIniFactory>();
  factory_table[QELConnection::RINI] = std::make_unique<QELRemoteIniFactory>();
}

}  // namespace

QELKeyFactory::~QELKeyFactory() = default;

QELKey* QELIniFactory::CreateKey(const std::string& path, QELConnectionBase* connection) {
  if (const QELIniConnection* stack = StackConnection(connection)) {
    return new QELLayerKey(path, *stack);
  }
  return new QELIniKey(path, *connection);
}

QELKey* QELIniFactory::CreateRootKey(QELConnectionBase* connection) {
  if (const QELIniConnection* stack = StackConnection(connection)) return new QELLayerKey(*stack);
  return new QELIniKey(*connection);
}

QELConnectionBase* QELIniFactory::CreateConnection() { return new QELIniConnection(); }

QELConfigMapBase* QELIniFactory::CreateConfigMap(QELConnectionBase* connection) {
  return new QELIniConfigMap(*connection);
}

QELConnectionBase* QELRemoteIniFactory::CreateConnection() { return new QELRemoteIniConnection(); }

QELKeyFactory* GetKeyFactory(QELConnection::ConnectionType type) {
  // The release store after the five entries are in place pairs with this acquire load, so a
  // thread that sees the flag set without the lock sees the whole table.
  if (!factory_table_built.load(std::memory_order_acquire)) {
    factory_table_lock.lock();
    try {
      if (!factory_table_built.load(std::memory_order_relaxed)) {
        BuildFactoryTable();
        factory_table_built.store(true, std::memory_order_release);
      }
    } catch (...) {
      factory_table_lock.unlock();
      throw;
    }
    factory_table_lock.unlock();
  }
  return factory_table[type].get();
}
