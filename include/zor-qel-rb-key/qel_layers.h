/// \file
/// Where the values of a stack of stores come from: the layers a connection logged in to, and
/// the layer, address and line that give one value.
/// Thread safety: that of the connection.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_export.h>

namespace zor::qel {

/// Where a value comes from in a stack of stores.
struct ValueOrigin {
  size_t layer = 0;     ///< 0 the bottom layer (the only one of a single store)
  std::string address;  ///< the layer's file or address, credentials masked
  size_t line = 0;      ///< the entry's line in the layer's INI text, 0 when there is none
};

/// The addresses of the layers the connection logged in to, bottom first, credentials masked; one
/// for a single store, none before a login.
QEL_API std::vector<std::string> LayerAddresses(const QELConnection& connection);

/// Where the value `name` of the key at `path` comes from: the top-most layer that holds it and
/// that no layer above deletes. False when the connection shows no such value.
QEL_API bool FindValueOrigin(const QELConnection& connection, const std::string& path,
                             const std::string& name, ValueOrigin& origin);

}  // namespace zor::qel
