// QELRBRootKey: a key handle opened on a module's root, whose path the module index keeps.
#include <zor-qel-rb-key/qel_rb_root_key.h>

#include <memory>

#include "qel_config_map.h"
#include "qel_key.h"
#include "qel_key_factory.h"
#include "qel_rb_log.h"

QELRBRootKey::QELRBRootKey(const std::string& module, const QELConnection& conn) : QELRBKey(conn) {
  static const char* kFunction = "QELRBRootKey::QELRBRootKey";
  RbTrace(kFunction, [&](CLogMsg& log) { log << "Module: " << module; });
  Init(module);
}

QELRBRootKey::QELRBRootKey(const QELRBRootKey& other) = default;

QELRBRootKey& QELRBRootKey::operator=(const QELRBRootKey& other) {
  QELRBKey::operator=(other);
  return *this;
}

QELRBRootKey::~QELRBRootKey() = default;

void QELRBRootKey::Init(const std::string& module) {
  QELKeyFactory* factory = GetKeyFactory(connection.GetConnectionType());
  std::string path;
  QELStatus status;
  {
    const std::unique_ptr<QELConfigMapBase> index(
        factory->CreateConfigMap(connection.GetConnection()));
    status = index->GetValue(module, path);
  }
  if (!status.Ok()) {
    // This record names the module the index lacks; it carries no severity of its own.
    CLogMsg log("QELRBRootKey::Init", kRbKeyModule, kLogTrace);
    log << status.message << " [" << static_cast<int>(status.code) << "]"
        << " : Module = " << module << flush;
    ThrowStatus(status, "src\\qel_rb_root_key", __LINE__);
  }
  std::unique_ptr<QELKey> root(factory->CreateKey(path, connection.GetConnection()));
  const QELKeyPointer pointer(root.get());
  root.release();
  keyPointer = pointer;
}
