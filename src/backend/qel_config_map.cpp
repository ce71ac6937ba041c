// Configuration maps: look up, write and delete the values of one fixed key of the store.
#include "qel_config_map.h"

#include "qel_ini_connection.h"
#include "qel_ini_key.h"
#include "qel_key.h"
#include "qel_layer_key.h"

namespace {

const std::string& ModuleIndexPath() {
  static const std::string path = "/ZOR_Software/qel4ds/Config/Index";
  return path;
}

}  // namespace

QELConfigMapBase::~QELConfigMapBase() { delete key; }

QELStatus QELConfigMapBase::GetValue(const std::string& name, std::string& text) {
  QELValueItem item(name, QELRBValue(""));
  const QELStatus status = key->GetValue(item);
  text = static_cast<std::string>(item.second);
  return status;
}

QELIniConfigMap::QELIniConfigMap(QELConnectionBase& connection) {
  // On a stack the index is read through the layers, as its keys are.
  const QELIniConnection* ini = dynamic_cast<const QELIniConnection*>(&connection);
  if (ini != nullptr && ini->GetLayers()) {
    key = new QELLayerKey(ModuleIndexPath(), *ini);
  } else {
    key = new QELIniKey(ModuleIndexPath(), connection);
  }
}
