// Opening the store: connection type, login arguments, the password prompt, a store file made by
// --create and the private copy of a store read from standard input.
#include "store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include <zor-qel-rb-key/qel_log.h>
#include "system.h"

namespace qelreg {
namespace {

// The scheme of `address` in small letters ("" when it has none).
std::string Scheme(const std::string& address) {
  const size_t end = address.find("://");
  if (end == std::string::npos) return "";
  std::string scheme = address.substr(0, end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme;
}

std::string RemotePassword(const StoreOptions& options) {
  if (options.user.empty()) return "";
  if (const char* password = std::getenv("QEL_PASSWORD")) return password;
  if (!InteractiveInput()) {
    throw ToolError("no password for " + options.user +
                    ": set QEL_PASSWORD or run qelreg on a terminal");
  }
  return ReadHidden("Password for " + options.user + "@" +
                    zor::qel::MaskCredentials(options.remote) + ": ");
}

void CheckOptions(const StoreOptions& options, bool changes) {
  if (!options.file.empty() && !options.remote.empty()) {
    throw ToolError("give either --store or --remote, not both", kExitUsage);
  }
  if (options.file.empty() && options.remote.empty()) {
    throw ToolError(
        "no store given: use --store FILE or --remote HOST[/PATH] --user USER, or set QEL_STORE",
        kExitUsage);
  }
  if (!options.remote.empty() && options.user.empty() && !IsEtcdAddress(options.remote)) {
    throw ToolError(
        "the remote store " + zor::qel::MaskCredentials(options.remote) +
            " needs --user (an etcd:// or etcds:// cluster without authentication needs none)",
        kExitUsage);
  }
  if (options.create && options.file.empty()) {
    throw ToolError("--create makes local store files only (--store FILE)", kExitUsage);
  }
  if (options.file == "-" && (changes || options.create)) {
    throw ToolError(
        "the store read from standard input (--store -) is read-only: it takes only commands "
        "that do not change it",
        kExitUsage);
  }
}

// The options that choose the store at `address` (see Store's constructor from an address).
StoreOptions AddressOptions(const std::string& address, const std::string& user, bool changes) {
  StoreOptions options;
  options.user = user;
  if (IsRemoteAddress(address)) {
    if (user.empty() && !IsEtcdAddress(address)) {
      throw ToolError("the remote store " + zor::qel::MaskCredentials(address) + " needs --user",
                      kExitUsage);
    }
    options.remote = address;
  } else {
    options.file = address;
    options.create = changes;
  }
  return options;
}

}  // namespace

bool IsRemoteAddress(const std::string& address) {
  const std::string scheme = Scheme(address);
  return scheme == "http" || scheme == "https" || scheme == "etcd" || scheme == "etcds";
}

bool IsEtcdAddress(const std::string& address) {
  const std::string scheme = Scheme(address);
  return scheme == "etcd" || scheme == "etcds";
}

zor::qel::StoreLogin RemoteLogin(const std::string& address, const std::string& user) {
  StoreOptions options;
  options.remote = address;
  options.user = user;
  return {address, user, RemotePassword(options)};
}

void StoreFromEnvironment(StoreOptions& options) {
  if (!options.file.empty() || !options.remote.empty()) return;
  const char* address = std::getenv("QEL_STORE");
  if (address == nullptr || *address == '\0') return;
  if (IsRemoteAddress(address)) {
    options.remote = address;
  } else {
    options.file = address;
  }
}

std::string ReadStandardInput() {
  std::string bytes{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  if (std::cin.bad()) throw ToolError("cannot read standard input");
  return bytes;
}

PrivateCopy::PrivateCopy(const std::string& bytes) {
  directory_ = MakePrivateDirectory("qelreg-input");
  path_ = directory_ + "/store.ini";
  std::ofstream copy(path_, std::ios::binary);
  copy.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  copy.close();
  if (!copy) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw ToolError("cannot write a private copy of the input to " + path_);
  }
}

PrivateCopy::~PrivateCopy() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

// The address of layer `layer` (from 1) of the stack `file` names.
std::string LayerAddress(const std::string& file, int layer) {
  const std::string prefix = "layers:";
  if (file.rfind(prefix, 0) != 0) throw ToolError("--layer needs a layers: stack", kExitUsage);
  size_t start = prefix.size();
  for (int i = 1; i < layer; ++i) {
    start = file.find('|', start);
    if (start == std::string::npos) {
      throw ToolError("the stack has no layer " + std::to_string(layer), kExitUsage);
    }
    ++start;
  }
  return file.substr(start, file.find('|', start) - start);
}

Store::Store(const StoreOptions& given, bool changes)
    : connection_(given.remote.empty() ? QELConnection::INI : QELConnection::RINI) {
  StoreOptions options = given;
  if (options.layer != 0) {
    options.file = LayerAddress(options.file, options.layer);
    if (IsRemoteAddress(options.file)) {
      options.remote = options.file;
      options.file.clear();
      connection_ = QELConnection(QELConnection::RINI);
    }
  }
  CheckOptions(options, changes);
  connection_.SetCheckValidity(options.verify);
  if (!options.remote.empty()) {
    connection_.Login(options.remote, 0, options.user, RemotePassword(options));
    return;
  }
  std::string file = options.file;
  if (file == "-") {
    copy_ = std::make_unique<PrivateCopy>(ReadStandardInput());
    file = copy_->Path();
  } else if (options.create && changes && CreatePrivateFile(file)) {
    created_ = file;
  }
  try {
    connection_.Login(file, 0, options.user, "");
  } catch (...) {
    RemoveIfEmpty(created_);
    throw;
  }
}

Store::Store(const std::string& address, const std::string& user, bool changes)
    : Store(AddressOptions(address, user, changes), changes) {}

Store::~Store() { RemoveIfEmpty(created_); }

}  // namespace qelreg
