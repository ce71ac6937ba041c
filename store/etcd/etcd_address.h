// Where an etcd store lives: its address (members and prefix), the keys its groups have under
// the prefix, which keys the tree can hold and what a group's text may hold.
// Thread safety: plain functions and values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "etcd_client.h"

// Group names the prefix can hold: the root group "" and paths.
inline bool StorableName(std::string_view name) { return name.empty() || name.front() == '/'; }

// Where the groups of a store live: the root group "" on the prefix key itself, a path on the
// prefix without its trailing "/" followed by the path. A prefix given with a trailing "/"
// ("/site/") keeps it, so that the store reads exactly the range a role on that prefix grants.
struct KeyLayout {
  std::string prefix;  // as the address gives it: "/site" or "/site/"
  std::string base;    // without the trailing "/"

  std::string Key(const std::string& group) const { return group.empty() ? prefix : base + group; }
  // The end of the range of every key of the store: [prefix, End()).
  std::string End() const { return base + "0"; }
  // The group of a key of that range; one that is no group name ("-x" of the key "/site-x" for
  // the prefix "/site") is another store's.
  std::string GroupOf(const std::string& key) const {
    return key.size() == prefix.size() ? std::string() : key.substr(base.size());
  }
};

// Why the tree cannot hold the group a key names ("" when it can): an empty key name
// ("/a//b") or a trailing "/" ("/a/").
const char* UnholdableReason(std::string_view group);

// Throws QELError (kIniBadSyntax) naming `key` on the cluster `shown` and the line when `text`,
// the value of etcd key `key`, holds a line that is no entry, comment or blank line; `kept` ends
// the text.
void CheckGroupText(const std::string& text, const std::string& key, const std::string& shown,
                    const char* kept);

// The parts of an etcd address.
struct EtcdAddress {
  bool tls = false;
  std::vector<std::string> hosts;      // host names or addresses, as given
  std::vector<std::string> endpoints;  // their gateway URLs
  KeyLayout layout;
};

// Whether `address` names an etcd store: its scheme is "etcd" or "etcds" in any case.
bool IsEtcdAddress(const std::string& address);

// Parses "etcd://" (or "etcds://") members joined by "," and the prefix. Throws QELError
// (kIniRemoteFailed) saying what is wrong with it.
EtcdAddress ParseAddress(const std::string& address);

// A client's options for the cluster at `address` (shown as `shown`) with the QEL_REMOTE_*
// settings. Throws QELError (kIniRemoteFailed) when a password would travel over plain etcd://
// to another machine, or a setting is malformed.
EtcdOptions ClientOptions(const EtcdAddress& address, const std::string& shown,
                          const std::string& user, const std::string& password);
