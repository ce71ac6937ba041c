// Etcd addresses and the layout of a store's keys under its prefix.
#include "etcd_address.h"

#include <algorithm>
#include <cctype>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "ini_syntax.h"
#include "ini_types.h"
#include "remote_settings.h"

namespace {

constexpr const char* kSourceFile = "store/etcd/etcd_address";
constexpr const char* kDefaultPort = "2379";

[[noreturn]] void Fail(long code, const std::string& text, long line) {
  throw QELError(text, code, kIniFacility, kSourceFile, line);
}

bool ValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long number = std::stol(port);
  return number > 0 && number < 65536;
}

bool ValidHostName(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

}  // namespace

const char* UnholdableReason(std::string_view group) {
  if (group.empty()) return "";
  if (group.back() == '/') return "its path ends with \"/\"";
  if (group.find("//") != std::string_view::npos)
    return "its path holds an empty key name (\"//\")";
  return "";
}

void CheckGroupText(const std::string& text, const std::string& key, const std::string& shown,
                    const char* kept) {
  using namespace ini_syntax;
  size_t line = 0;
  ForEachLine(
      text.data(), text.data() + text.size(),
      [&](const char* begin, const char* content_end, const char*) {
        ++line;
        const LineKind kind = Classify(begin, content_end);
        if (kind == LineKind::kEntry || kind == LineKind::kBlank || kind == LineKind::kComment) {
          return;
        }
        Fail(kIniBadSyntax,
             "etcd key " + key + " on " + shown + ", line " + std::to_string(line) + ": " +
                 (kind == LineKind::kBad
                      ? "the line is neither an entry (name=value), a comment nor blank"
                      : "a group's text holds no group header") +
                 kept,
             __LINE__);
      });
}

bool IsEtcdAddress(const std::string& address) {
  const size_t scheme_end = address.find("://");
  if (scheme_end == std::string::npos) return false;
  std::string scheme = address.substr(0, scheme_end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "etcd" || scheme == "etcds";
}

EtcdAddress ParseAddress(const std::string& address) {
  EtcdAddress parsed;
  const std::string shown = "\"" + zor::qel::MaskCredentials(address) + "\"";
  const size_t scheme_end = address.find("://");
  std::string scheme = address.substr(0, scheme_end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme_end == std::string::npos || (scheme != "etcd" && scheme != "etcds")) {
    Fail(kIniRemoteFailed, shown + " is no etcd address (etcd://HOST:PORT,.../PREFIX)", __LINE__);
  }
  parsed.tls = scheme == "etcds";
  const std::string rest = address.substr(scheme_end + 3);
  const size_t slash = rest.find('/');
  const std::string members = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash);
  if (members.find('@') != std::string::npos) {
    Fail(kIniRemoteFailed,
         "the address " + shown + " carries a user name or password; give them to the login",
         __LINE__);
  }
  size_t start = 0;
  while (start <= members.size()) {
    const size_t comma = std::min(members.find(',', start), members.size());
    const std::string member = members.substr(start, comma - start);
    start = comma + 1;
    std::string host = member;
    std::string port = kDefaultPort;
    bool valid = !member.empty();
    if (valid && member.front() == '[') {
      const size_t close = member.find(']');
      valid = close != std::string::npos && close > 1;
      if (valid) {
        host = member.substr(0, close + 1);
        const std::string after = member.substr(close + 1);
        if (!after.empty()) {
          valid = after.front() == ':';
          port = after.substr(1);
        }
        valid = valid && std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
                  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
                });
      }
    } else if (valid) {
      const size_t colon = member.rfind(':');
      if (colon != std::string::npos) {
        host = member.substr(0, colon);
        port = member.substr(colon + 1);
      }
      valid = ValidHostName(host);
    }
    if (!valid || !ValidPort(port)) {
      Fail(kIniRemoteFailed,
           "the address " + shown + " names the member \"" + member +
               "\", which is no HOST or HOST:PORT",
           __LINE__);
    }
    parsed.hosts.push_back(host);
    parsed.endpoints.push_back((parsed.tls ? "https://" : "http://") + host + ":" + port);
  }
  std::string base = path;
  if (!base.empty() && base.back() == '/') base.pop_back();
  if (base.empty()) {
    Fail(kIniRemoteFailed,
         "the address " + shown +
             " names no prefix for the store's keys: etcd://HOST:PORT,.../PREFIX",
         __LINE__);
  }
  if (base.back() == '/') {
    Fail(kIniRemoteFailed, "the address " + shown + " names a prefix that ends with \"//\"",
         __LINE__);
  }
  parsed.layout = {path, base};
  return parsed;
}

EtcdOptions ClientOptions(const EtcdAddress& address, const std::string& shown,
                          const std::string& user, const std::string& password) {
  if (!address.tls && !password.empty()) {
    for (const std::string& host : address.hosts) {
      if (!IsLoopbackHost(host)) {
        Fail(kIniRemoteFailed,
             "the address " + shown +
                 " uses plain etcd://, which would expose the password; use etcds://",
             __LINE__);
      }
    }
  }
  EtcdOptions options;
  options.endpoints = address.endpoints;
  options.user = user;
  options.password = password;
  options.http = RemoteSettingsFromEnvironment();
  options.shown = shown;
  return options;
}
