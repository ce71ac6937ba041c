// The origin of values: the layers of a connection and the layer and line that give a value.
#include <zor-qel-rb-key/qel_layers.h>

#include <zor-qel-rb-key/qel_log.h>
#include "qel_ini_connection.h"
#include "qel_layer_stack.h"

namespace zor::qel {
namespace {

const QELIniConnection* IniConnection(const QELConnection& connection) {
  return dynamic_cast<const QELIniConnection*>(connection.GetConnection());
}

}  // namespace

std::vector<std::string> LayerAddresses(const QELConnection& connection) {
  std::vector<std::string> addresses;
  const QELIniConnection* ini = IniConnection(connection);
  if (ini == nullptr || ini->GetIni().Get() == nullptr) return addresses;
  if (const auto& stack = ini->GetLayers()) {
    for (size_t i = 0; i < stack->Count(); ++i) {
      addresses.push_back(MaskCredentials(stack->At(i).address));
    }
  } else {
    addresses.push_back(MaskCredentials(ini->GetHost()));
  }
  return addresses;
}

bool FindValueOrigin(const QELConnection& connection, const std::string& path,
                     const std::string& name, ValueOrigin& origin) {
  const QELIniConnection* ini = IniConnection(connection);
  if (ini == nullptr || ini->GetIni().Get() == nullptr) return false;
  const Ini* store = ini->GetIni().Get();
  origin = ValueOrigin();
  if (const auto& stack = ini->GetLayers()) {
    if (!stack->KeyVisible(path)) return false;
    origin.layer = stack->ValueLayer(path, name);
    if (origin.layer == stack->Count()) return false;
    store = stack->At(origin.layer).store.Get();
    origin.address = MaskCredentials(stack->At(origin.layer).address);
  } else {
    const IniEntryMap* entries = store->GetGroupProperty(path);
    if (entries == nullptr || entries->count(name) == 0) return false;
    origin.address = MaskCredentials(ini->GetHost());
  }
  origin.line = store->EntryLine(path, name);
  return true;
}

}  // namespace zor::qel
