// EtcdIni: the key tree in an etcd cluster. Login reads the prefix in pages at one revision and
// builds the image from the groups' texts; a write sends the changed groups in one transaction
// that compares each one's mod_revision (and, to keep the tree whole, that their parents still
// exist and that no key appeared below a group it erases; an erased subtree goes in one range
// delete); a transaction that fails its comparisons reads those groups again and replays the
// journal on them.
#include "etcd_ini.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "clog_msg.h"
#include "etcd_address.h"
#include "etcd_client.h"
#include "ini_file_system.h"
#include "ini_journal.h"
#include "ini_syntax.h"
#include "remote_settings.h"

namespace {

constexpr const char* kSourceFile = "store/etcd/etcd_ini";
// Keys read by one range request at login: small pages keep the memory of a read near the size
// of the tree's text, large ones save round trips.
constexpr int64_t kPageKeys = 2000;
// Range reads one transaction carries when groups are read again after a conflict.
constexpr size_t kReadsPerTxn = 64;
// Rounds of "transaction failed its comparisons, merge onto the newer groups" before giving up
// (the time of one request bounds them too).
constexpr int kMaxRounds = 200;
constexpr const char* kKept = "; the changes are kept in memory";

[[noreturn]] void Fail(long code, const std::string& text, long line) {
  throw QELError(text, code, kIniFacility, kSourceFile, line);
}

// Checks the text of etcd key `key` (see CheckGroupText) and appends it to `out` after the header
// of `group`, with a line end after its last line.
void AppendGroup(std::string& out, const std::string& group, const std::string& text,
                 const std::string& key, const std::string& shown, const char* kept) {
  using namespace ini_syntax;
  CheckGroupText(text, key, shown, kept);
  out += '[';
  AppendToken(out, group, GroupNeedsQuotes(group));
  out += "]\n";
  out += text;
  if (!text.empty() && text.back() != '\n') out += '\n';
}

// Whether a group's text holds an entry line.
bool HasEntry(const std::string& text) {
  bool found = false;
  ini_syntax::ForEachEntryLine(text.data(), text.data() + text.size(),
                               [&](const char*, const char*) { found = true; });
  return found;
}

// The group's text as the image will give it back: with a line end after its last line.
std::string Normalized(std::string text) {
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

// What this store knows of each group in the cluster. Of the groups read at login it keeps
// only a Bloom filter of their names (ten bits a group, about one false "maybe" in a hundred):
// such a group is as this store saw it while its mod_revision is at most the login's revision.
// Of the groups read or written since, it keeps the exact mod_revision (0: absent).
class RevisionTable {
 public:
  void Begin(int64_t groups) {
    exact_.clear();
    const size_t words = static_cast<size_t>(std::max<int64_t>(groups, 64)) * 10 / 64 + 1;
    bits_.assign(words, 0);
  }
  void AddRead(std::string_view name) {
    ForEachBit(name, [this](size_t bit) { bits_[bit / 64] |= uint64_t{1} << (bit % 64); });
  }
  // Whether the group may have been there at login: never false for one that was.
  bool MayHaveBeenRead(std::string_view name) const {
    bool all = !bits_.empty();
    ForEachBit(name, [this, &all](size_t bit) {
      all = all && (bits_[bit / 64] & (uint64_t{1} << (bit % 64))) != 0;
    });
    return all;
  }
  // The exact revision when known since login.
  const int64_t* Exact(const std::string& name) const {
    const auto found = exact_.find(name);
    return found != exact_.end() ? &found->second : nullptr;
  }
  void Set(const std::string& name, int64_t revision) { exact_[name] = revision; }

 private:
  template <typename Visit>
  void ForEachBit(std::string_view name, Visit visit) const {
    if (bits_.empty()) return;
    const uint64_t hash = std::hash<std::string_view>()(name);
    const uint64_t step = (hash * 0x9E3779B97F4A7C15u) >> 32 | 1;
    const uint64_t size = bits_.size() * 64;
    for (uint64_t i = 0; i < 4; ++i) visit(static_cast<size_t>((hash + i * step) % size));
  }
  std::vector<uint64_t> bits_;
  std::map<std::string, int64_t> exact_;
};

// Collects the groups of a login's range read into the text of the tree. A key the tree cannot
// hold is left out with an error record naming it, as is text on the prefix key of entries the
// root key never shows.
class LoginReader : public EtcdRangeVisitor {
 public:
  LoginReader(const KeyLayout& layout, const std::string& shown, RevisionTable& revisions)
      : layout_(layout), shown_(shown), revisions_(revisions) {}

  void Begin(int64_t count) override {
    text_.clear();
    revisions_.Begin(count);
    count_ = count;
    added_ = 0;
  }

  void Add(EtcdKeyValue& pair) override {
    // The range holds the prefix and every key beginning with it; keys of other prefixes that
    // begin the same way ("/cfg2" beside "/cfg") are not this store's.
    const std::string group = layout_.GroupOf(pair.key);
    if (!StorableName(group)) return;
    const char* unholdable = UnholdableReason(group);
    if (*unholdable != '\0') {
      Report("is no key of the tree: " + std::string(unholdable) + "; it is left out", pair.key);
      return;
    }
    AppendGroup(text_, group, pair.value, pair.key, shown_, "");
    if (group.empty() && HasEntry(pair.value)) {
      Report("holds entries, which the tree's root key does not show", pair.key);
    }
    revisions_.AddRead(group);
    // Once the first page tells the size of a group, room for all of them at once: growing by
    // doubling would hold the old and the new text together.
    if (++added_ == kPageKeys && count_ > added_) {
      const double estimate = static_cast<double>(text_.size()) / added_ * count_ * 1.05;
      text_.reserve(static_cast<size_t>(estimate) + 4096);
    }
  }

  std::string Take() { return std::move(text_); }
  int64_t Count() const { return count_; }

 private:
  void Report(const std::string& what, const std::string& key) const {
    std::string quoted;  // a key may hold any byte: quoted as a group name would be
    ini_syntax::AppendToken(quoted, key, ini_syntax::GroupNeedsQuotes(key));
    CLogMsg("EtcdIni::Login", "ini", kLogError)
        << "etcd key " << quoted << " on " << shown_ << " " << what << flush;
  }

  const KeyLayout& layout_;
  const std::string& shown_;
  RevisionTable& revisions_;
  std::string text_;
  int64_t count_ = 0;
  int64_t added_ = 0;
};

// Runs `operations` in transactions of a bounded number of reads (each reads as of one
// revision); returns what each found, and sets `*revision` to that of the last.
std::vector<std::vector<EtcdKeyValue>> ReadAll(EtcdClient& client,
                                               const std::vector<EtcdOperation>& operations,
                                               int64_t* revision) {
  std::vector<std::vector<EtcdKeyValue>> found;
  for (size_t first = 0; first < operations.size(); first += kReadsPerTxn) {
    const size_t last = std::min(operations.size(), first + kReadsPerTxn);
    const std::vector<EtcdOperation> chunk(operations.begin() + first, operations.begin() + last);
    EtcdTxnResult result = client.Txn({}, chunk, {});
    result.ranges.resize(chunk.size());
    for (auto& range : result.ranges) found.push_back(std::move(range));
    *revision = result.revision;
  }
  return found;
}

}  // namespace

struct EtcdIni::State {
  std::string shown;  // the address as texts show it
  KeyLayout layout;   // where each group's key is
  long timeout_ms = 0;
  std::unique_ptr<EtcdClient> client;
  RevisionTable revisions;
  int64_t login_revision = 0;  // the whole tree was read as of this revision
  int64_t login_keys = 0;      // and the prefix then held this many keys
  // The tree is not known as of login_revision: this store wrote without learning that nobody
  // else did meanwhile, or its image may differ from the tree.
  bool wrote = false;
  // Subtrees read whole again after a conflict, with the revision of that read.
  std::map<std::string, int64_t> subtree_reads;
  // Groups a merge left different from the cluster's, beside those the journal names.
  std::set<std::string> pending;

  std::string Key(const std::string& group) const { return layout.Key(group); }
  // The revision as of which this store last read every key below `group`.
  int64_t SubtreeRevision(const std::string& group) const {
    int64_t revision = login_revision;
    for (const auto& read : subtree_reads) {
      if (read.first == group || IsBelow(group, read.first)) {
        revision = std::max(revision, read.second);
      }
    }
    return revision;
  }
};

// Range reads of groups (one key each) and of erased subtrees, and once run, what they found.
struct EtcdIni::Reads {
  std::vector<EtcdOperation> operations;  // the single keys first, then the subtrees
  bool done = false;
  int64_t revision = 0;
  std::vector<std::vector<EtcdKeyValue>> found;  // by operation
};

namespace {

// Two reads that tell whether the tree is still as it was at `revision`: the number of the
// prefix's keys, and the keys changed since (etcd counts a range before filtering it by
// revision, so the keys themselves, without their values). etcd reads every key of the prefix
// for them, so they are asked only when the cluster's revision moved on.
std::vector<EtcdOperation> CountChanges(const KeyLayout& layout, int64_t revision) {
  EtcdOperation keys{EtcdOperation::Kind::kRange, layout.prefix, layout.End(), ""};
  keys.count_only = true;
  EtcdOperation since{EtcdOperation::Kind::kRange, layout.prefix, layout.End(), ""};
  since.keys_only = true;
  since.min_mod_revision = revision + 1;
  return {keys, since};
}

}  // namespace

bool EtcdIni::IsEtcdAddress(const std::string& address) { return ::IsEtcdAddress(address); }

EtcdIni::EtcdIni(const std::string& address, const std::string& user, const std::string& password)
    : state_(std::make_unique<State>()) {
  State& state = *state_;
  const EtcdAddress parsed = ParseAddress(address);
  state.shown = zor::qel::MaskCredentials(address);
  state.layout = parsed.layout;
  EtcdOptions options = ClientOptions(parsed, state.shown, user, password);
  state.timeout_ms = options.http.timeout_ms;
  state.client = std::make_unique<EtcdClient>(std::move(options));
  state.client->Authenticate();

  LoginReader reader(state.layout, state.shown, state.revisions);
  state.login_revision =
      state.client->ReadRange(state.layout.prefix, state.layout.End(), kPageKeys, reader);
  state.login_keys = reader.Count();
  LoadImage(reader.Take(), state.shown);
}

bool EtcdIni::Refresh(IniChanges* changed) {
  State& state = *state_;
  const std::string end = state.layout.End();
  if (!state.wrote) {
    // Nothing was written anywhere in the cluster since the read: its revision is the same (an
    // empty transaction tells it).
    if (state.client->Txn({}, {}, {}).revision == state.login_revision) return false;
    const EtcdTxnResult result =
        state.client->Txn({}, CountChanges(state.layout, state.login_revision), {});
    // Another writer's put shows as a key changed since the read, a delete as a lower count.
    if (result.counts.size() == 2 && result.counts[0] == state.login_keys &&
        result.ranges[1].empty()) {
      return false;
    }
  }
  RevisionTable revisions;
  LoginReader reader(state.layout, state.shown, revisions);
  const int64_t revision = state.client->ReadRange(state.layout.prefix, end, kPageKeys, reader);
  const bool differs = MergeOnto(reader.Take(), state.shown, changed);
  state.revisions = std::move(revisions);
  state.login_revision = revision;
  state.login_keys = reader.Count();
  state.subtree_reads.clear();
  state.wrote = false;
  // What the replay wrote, and the parents it may have brought back, go out with the next write.
  state.pending.clear();
  for (const IniJournal::Change& change : Journal().Changes()) {
    ForEachParent(change.group, [&](const std::string& parent) {
      if (isGroupExist(parent)) state.pending.insert(parent);
    });
  }
  return differs;
}

void EtcdIni::ForgetRead() { state_->wrote = true; }

bool EtcdIni::WaitForChange(int timeout_ms) {
  State& state = *state_;
  if (state.wrote) return true;  // the tree is read again first
  return state.client->Watch(state.layout.prefix, state.layout.End(), state.login_revision,
                             timeout_ms);
}

EtcdIni::~EtcdIni() = default;

uint64_t EtcdIni::Requests() const { return state_->client->Requests(); }

std::set<std::string> EtcdIni::ChangedGroups() const {
  std::set<std::string> groups = state_->pending;
  for (const IniJournal::Change& change : Journal().Changes()) groups.insert(change.group);
  return groups;
}

bool EtcdIni::Commit(const std::set<std::string>& groups, const Reads& reads, Reads* carried) {
  State& state = *state_;
  std::vector<EtcdCompare> compare;
  std::vector<EtcdOperation> operations;
  std::vector<const std::string*> put;
  std::vector<const std::string*> erased;
  // Erased groups with nothing left below them in the image and erased groups below them: one
  // range delete takes each one's subtree, whatever its size, and the groups erased below it
  // need no operation of their own.
  std::set<std::string> whole;
  int64_t created = 0;  // keys the puts make: their comparisons hold only while they are absent
  for (const std::string& group : groups) {
    if (!StorableName(group)) {
      Fail(kIniWriteFailed,
           "cannot write to the etcd store " + state.shown + ": the group \"" + group +
               "\" is no key path (an etcd store holds \"\" and paths beginning with \"/\")" +
               kKept,
           __LINE__);
    }
    const bool exists = isGroupExist(group);
    const int64_t* exact = state.revisions.Exact(group);
    const bool read = exact == nullptr && state.revisions.MayHaveBeenRead(group);
    if (!exists && (exact != nullptr ? *exact == 0 : !read)) {
      continue;  // made and erased here: the cluster never had it
    }
    if (!exists) {
      bool covered = false;
      ForEachParent(
          group, [&](const std::string& parent) { covered = covered || whole.count(parent) != 0; });
      if (covered) {
        erased.push_back(&group);
        continue;
      }
    }
    // Holds while the group is as this store last saw it: its exact revision, or for a group
    // read at login no change since the login's revision (and, when it is written, still
    // there); a group never seen must still be absent (revision 0).
    const std::string key = state.Key(group);
    if (exact != nullptr || !read) {
      compare.push_back({key, "", EtcdCompare::Target::kMod, EtcdCompare::Result::kEqual,
                         exact != nullptr ? *exact : 0});
    } else {
      compare.push_back({key, "", EtcdCompare::Target::kMod, EtcdCompare::Result::kLess,
                         state.login_revision + 1});
      if (exists) {
        compare.push_back(
            {key, "", EtcdCompare::Target::kVersion, EtcdCompare::Result::kGreater, 0});
      }
    }
    if (exists) {
      operations.push_back({EtcdOperation::Kind::kPut, key, "", GroupText(group)});
      put.push_back(&group);
      if (exact != nullptr ? *exact == 0 : !read) ++created;
      continue;
    }
    operations.push_back({EtcdOperation::Kind::kDelete, key, "", ""});
    erased.push_back(&group);
    const auto below = lower_bound(group + "/");
    const auto erased_below = groups.upper_bound(group + "/");
    if ((below == end() || !IsBelow((*below).GetName(), group)) && erased_below != groups.end() &&
        IsBelow(*erased_below, group)) {
      whole.insert(group);
      operations.push_back({EtcdOperation::Kind::kDelete, key + "/", key + "0", ""});
    }
  }
  if (operations.empty()) return true;
  // The parents of a written group that it does not write itself must still exist.
  std::set<std::string> parents;
  for (const std::string* group : put) {
    ForEachParent(*group, [&](const std::string& parent) {
      if (groups.count(parent) == 0 && isGroupExist(parent) && parents.insert(parent).second) {
        compare.push_back({state.Key(parent), "", EtcdCompare::Target::kVersion,
                           EtcdCompare::Result::kGreater, 0});
      }
    });
  }
  // Below an erased group no key may have appeared since this store last read that subtree:
  // another writer's new key there would lose its parent. Below one erased whole, no key may
  // have changed either: the range delete would take another writer's change along unmerged.
  for (const std::string* group : erased) {
    bool nested = false;
    ForEachParent(*group, [&](const std::string& parent) {
      nested = nested || (groups.count(parent) != 0 && !isGroupExist(parent));
    });
    if (nested) continue;
    const std::string key = state.Key(*group);
    compare.push_back(
        {key + "/", key + "0",
         whole.count(*group) != 0 ? EtcdCompare::Target::kMod : EtcdCompare::Target::kCreate,
         EtcdCompare::Result::kLess, state.SubtreeRevision(*group) + 1});
  }

  // While this store knows the tree as of a revision and only its own changes were made since,
  // the tree is known as of the transaction's revision, and the next Refresh need not read it
  // again (see below).
  const bool follow = !state.wrote;
  // A failed transaction reads what the merge needs at once, when that does not make it larger
  // (etcd bounds the longest of its comparisons, operations and reads).
  const bool carry = reads.operations.size() <= std::max(compare.size(), operations.size());
  EtcdTxnResult result = state.client->Txn(compare, operations,
                                           carry ? reads.operations : std::vector<EtcdOperation>());
  if (!result.succeeded) {
    if (carry && result.ranges.size() == reads.operations.size()) {
      carried->done = true;
      carried->revision = result.revision;
      carried->found = std::move(result.ranges);
    }
    return false;
  }
  for (const std::string* group : put) state.revisions.Set(*group, result.revision);
  for (const std::string* group : erased) state.revisions.Set(*group, 0);
  const int64_t keys = state.login_keys + created - result.deleted;
  // A transaction that changed something takes one revision: when the cluster's moved by
  // exactly that, nobody else wrote anywhere. Otherwise the prefix's keys (read now, so later
  // changes count against it too) must number what this store's puts and deletes make them,
  // and those changed since the revision it knew must be its puts alone.
  const bool changed = !put.empty() || result.deleted > 0;
  bool known = follow;
  if (follow && result.revision != state.login_revision + (changed ? 1 : 0)) {
    const EtcdTxnResult since =
        state.client->Txn({}, CountChanges(state.layout, state.login_revision), {});
    known =
        since.counts.size() == 2 && since.counts[0] == keys &&
        since.ranges[1].size() == put.size() &&
        std::all_of(since.ranges[1].begin(), since.ranges[1].end(),
                    [&](const EtcdKeyValue& pair) { return pair.mod_revision == result.revision; });
  }
  if (known) {
    state.login_revision = result.revision;
    state.login_keys = keys;
  } else {
    state.wrote = true;
  }
  return true;
}

EtcdIni::Reads EtcdIni::ReadsFor(const std::set<std::string>& groups) const {
  const State& state = *state_;
  // The changed groups, their parents (the replay re-creates a missing one), and the subtrees of
  // the groups this store erased (another writer's key below one keeps its path).
  std::set<std::string> keys;
  for (const std::string& group : groups) {
    keys.insert(group);
    ForEachParent(group, [&](const std::string& parent) { keys.insert(parent); });
  }
  std::set<std::string> erased;
  for (const IniJournal::Change& change : Journal().Changes()) {
    if (change.kind == IniJournal::Kind::kEraseGroup) erased.insert(change.group);
  }
  for (const std::string& group : groups) {
    if (!isGroupExist(group)) erased.insert(group);
  }
  Reads reads;
  for (const std::string& group : keys) {
    if (StorableName(group)) {
      reads.operations.push_back({EtcdOperation::Kind::kRange, state.Key(group), "", ""});
    }
  }
  for (const std::string& group : erased) {
    bool nested = false;
    ForEachParent(group,
                  [&](const std::string& parent) { nested = nested || erased.count(parent) != 0; });
    if (nested || !StorableName(group)) continue;
    const std::string key = state.Key(group);
    reads.operations.push_back({EtcdOperation::Kind::kRange, key + "/", key + "0", ""});
  }
  return reads;
}

void EtcdIni::MergeNewer(const Reads& reads, Reads* carried) {
  State& state = *state_;
  if (!carried->done) carried->found = ReadAll(*state.client, reads.operations, &carried->revision);

  // What the cluster holds now, by group: every group read (absent ones too) and the found ones.
  std::set<std::string> read;
  std::map<std::string, EtcdKeyValue> found;
  std::set<std::string> subtrees;  // the groups whose whole subtree was read
  const auto collect = [&](const std::vector<EtcdOperation>& operations,
                           std::vector<std::vector<EtcdKeyValue>>& results, int64_t revision) {
    for (size_t i = 0; i < operations.size() && i < results.size(); ++i) {
      const std::string group = state.layout.GroupOf(operations[i].key);
      if (operations[i].range_end.empty()) {
        read.insert(group);
      } else {
        // The subtree's key is the group and "/": every group this store has below it counts
        // as read, so that the absent ones are gone.
        const std::string top = group.substr(0, group.size() - 1);
        subtrees.insert(top);
        state.subtree_reads[top] = std::max(state.subtree_reads[top], revision);
        for (auto it = lower_bound(group); it != end(); ++it) {
          const std::string name = (*it).GetName();
          if (!IsBelow(name, top)) break;
          read.insert(name);
        }
      }
      for (EtcdKeyValue& pair : results[i]) {
        std::string name = state.layout.GroupOf(pair.key);
        if (!StorableName(name) || *UnholdableReason(name) != '\0') continue;
        read.insert(name);
        found[name] = std::move(pair);
      }
    }
  };
  collect(reads.operations, carried->found, carried->revision);

  // A group found gone takes the groups below it along; those this store still has are read
  // again with it, so that the image keeps none whose parent the cluster no longer has. (The
  // root group "" is no parent: the paths stand without it.)
  std::vector<EtcdOperation> gone;
  for (const std::string& name : read) {
    if (found.count(name) != 0 || name.empty() || name.front() != '/') continue;
    bool covered = subtrees.count(name) != 0;
    ForEachParent(
        name, [&](const std::string& parent) { covered = covered || subtrees.count(parent) != 0; });
    const auto below = lower_bound(name + "/");
    if (covered || below == end() || !IsBelow((*below).GetName(), name)) continue;
    subtrees.insert(name);
    const std::string key = state.Key(name);
    gone.push_back({EtcdOperation::Kind::kRange, key, "", ""});
    gone.push_back({EtcdOperation::Kind::kRange, key + "/", key + "0", ""});
  }
  if (!gone.empty()) {
    int64_t revision = 0;
    std::vector<std::vector<EtcdKeyValue>> results = ReadAll(*state.client, gone, &revision);
    collect(gone, results, revision);
  }

  // The newer image: this store's groups, with the ones read replaced by what the cluster has.
  std::string text;
  for (auto it = begin(); it != end(); ++it) {
    const std::string name = (*it).GetName();
    if (read.count(name) == 0) AppendGroup(text, name, GroupText(name), name, state.shown, kKept);
  }
  for (const auto& group : found) {
    AppendGroup(text, group.first, group.second.value, group.second.key, state.shown, kKept);
  }
  MergeOnto(std::move(text), state.shown);

  for (const std::string& name : read) {
    const auto newer = found.find(name);
    state.revisions.Set(name, newer == found.end() ? 0 : newer->second.mod_revision);
    const bool exists = isGroupExist(name);
    const bool same = newer == found.end()
                          ? !exists
                          : exists && GroupText(name) == Normalized(newer->second.value);
    if (same) {
      state.pending.erase(name);
    } else {
      state.pending.insert(name);
    }
  }
}

void EtcdIni::FlushIniDataToFile(const std::string& file) {
  State& state = *state_;
  if (!file.empty()) {
    Fail(kIniWriteFailed, "cannot write " + file + ": a store writes only its own keys", __LINE__);
  }
  ConflictRounds rounds(state.timeout_ms);
  int round = 0;
  try {
    for (;; ++round) {
      const std::set<std::string> groups = ChangedGroups();
      const Reads reads = ReadsFor(groups);
      Reads carried;
      if (Commit(groups, reads, &carried)) {
        ClearJournal();
        state.pending.clear();
        return;
      }
      if (round + 1 >= kMaxRounds || rounds.Expired()) break;
      if (rounds.Pause(round)) carried.done = false;  // what the failed transaction read is old now
      MergeNewer(reads, &carried);
    }
  } catch (const QELError& error) {
    if (error.What().find(kKept) != std::string::npos) throw;
    throw QELError(error.What() + kKept, error.Code(), error.Facility(), error.File(),
                   error.Line());
  }
  Fail(kIniConflict,
       "writing to the etcd store " + state.shown + ": other writers kept changing the same keys " +
           "through " + std::to_string(round + 1) + " attempts" + kKept,
       __LINE__);
}
