// EtcdIni: an INI store whose groups an etcd cluster holds, one key per group under a prefix,
// each key's value the group's lines as INI text.
// Thread safety: as Ini.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "ini.h"

class EtcdIni : public Ini {
 public:
  // Reads the tree held under the prefix of `address`: "etcd://" (or "etcds://" for TLS), the
  // members as host[:port] joined by ",", and the prefix ("/prefix/", or "/prefix" for the older
  // layout that holds the root group on the key "/prefix"). Throws QELError: code -7
  // when the cluster refuses the user or password, kIniBadSyntax naming the key of a value that
  // is no group's text, kIniRemoteFailed saying what else went wrong.
  EtcdIni(const std::string& address, const std::string& user, const std::string& password);
  ~EtcdIni() override;

  // Writes the groups changed since the last read or write (`file` must be "") in one
  // transaction that holds only while none of them changed in the cluster meanwhile; when one
  // did, those groups are read again and this store's changes replayed on them, a bounded number
  // of times. Throws QELError naming the cluster and the reason (kIniWriteFailed for a
  // transaction above the cluster's size limits, kIniConflict when other writers kept winning,
  // kIniRemoteFailed when no member answered); the changes then stay in memory.
  void FlushIniDataToFile(const std::string& file) override;

  // Asks in one request how many keys the prefix holds and how many changed since the tree was
  // read or this store's last write; when either says another writer was there (or a write of
  // this store could not tell), reads the whole tree again and replays the unwritten changes.
  bool Refresh(IniChanges* changed) override;
  void ForgetRead() override;
  // An etcd watch on the prefix from the revision the tree was read at.
  bool WaitForChange(int timeout_ms) override;

  // Whether `address` names an etcd store (begins with "etcd://" or "etcds://").
  static bool IsEtcdAddress(const std::string& address);

  // How many requests this store sent to the cluster so far.
  uint64_t Requests() const;

 private:
  struct State;
  struct Reads;
  // The groups a flush writes: those the journal names and those left to write by a merge.
  std::set<std::string> ChangedGroups() const;
  // What a merge onto `groups` reads again: the groups, their parents and the subtrees this
  // store erased.
  Reads ReadsFor(const std::set<std::string>& groups) const;
  // One transaction writing `groups`; true when it held. When it failed and could carry `reads`
  // without growing, `*carried` gets what they read.
  bool Commit(const std::set<std::string>& groups, const Reads& reads, Reads* carried);
  // Replays the journal on what `reads` find (read now unless `carried` holds them), and on
  // what the cluster holds below the groups they find gone that the image still has.
  void MergeNewer(const Reads& reads, Reads* carried);

  std::unique_ptr<State> state_;
};
