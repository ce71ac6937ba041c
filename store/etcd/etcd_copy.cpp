// The copy of an etcd store: the source is read in pages as of one revision, and its groups go
// over in transactions that each hold a bounded number of groups and bytes. Every transaction
// holds only while no key of the destination changed since the copy last looked at it. A copy in
// several commits puts the marker key (naming the source) with its first commit and deletes it
// with its last; run again, the copy reads what the destination holds between the groups of
// each commit, skips the groups already as they are and deletes those the source no longer has.
#include "etcd_copy.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/qel_log.h>
#include "clog_msg.h"
#include "etcd_address.h"
#include "etcd_client.h"
#include "ini_syntax.h"
#include "ini_types.h"
#include "list_value.h"

namespace {

using zor::qel::kCopyMarker;

constexpr const char* kSourceFile = "store/etcd/etcd_copy";
// Keys read by one range request (the client makes later pages larger on a large range).
constexpr int64_t kPageKeys = 2000;
// The largest page of the source read at once: a copy's memory stays near a few pages and a
// commit, whatever the size of the tree.
constexpr size_t kPageBytes = size_t{256} << 10;
// Groups a commit holds unless told otherwise: a cluster takes 128 operations a transaction by
// default, and the first commit also puts the marker.
constexpr size_t kDefaultBatch = 127;
// Bytes of group text a commit carries at most: a cluster takes requests of 1.5 MiB by default.
constexpr size_t kBatchBytes = size_t{1} << 20;

[[noreturn]] void Fail(long code, long facility, const std::string& text, long line) {
  throw QELError(text, code, facility, kSourceFile, line);
}

[[noreturn]] void Refuse(const std::string& text, long line) {
  Fail(static_cast<long>(zor::qel::ErrorCode::kAlreadyExists),
       static_cast<long>(zor::qel::Facility::kLibrary), text, line);
}

// An unfinished copy is no source.
[[noreturn]] void RefuseUnfinished(const std::string& source) {
  Refuse("the source " + source + " is an unfinished copy (it holds the key " + kCopyMarker +
             "); finish that copy first",
         __LINE__);
}

// The text of the marker group: its one value names the source.
std::string MarkerText(const std::string& source) {
  using namespace ini_syntax;
  std::string text;
  AppendToken(text, zor::qel::kCopyMarkerSource, EntryNameNeedsQuotes(zor::qel::kCopyMarkerSource));
  text += '=';
  const std::string value = EncodeValue(QELRBValue(source));
  AppendToken(text, value, ValueNeedsQuotes(value));
  text += '\n';
  return text;
}

// The source a marker group's text names ("" when none).
std::string MarkedSource(const std::string& text) {
  std::string source;
  ini_syntax::ForEachEntryLine(
      text.data(), text.data() + text.size(), [&](const char* begin, const char* end) {
        std::string name;
        std::string value;
        ini_syntax::SplitEntry(begin, end, &name, &value, nullptr);
        if (name != zor::qel::kCopyMarkerSource) return;
        const QELRBValue decoded = DecodeValue(value);
        source = decoded.Elements().empty() ? "" : decoded.Elements().front();
      });
  return source;
}

// The number of values a group's text gives its key: its distinct entry names.
long ValueCount(const std::string& text) {
  std::set<std::string> names;
  ini_syntax::ForEachEntryLine(text.data(), text.data() + text.size(),
                               [&](const char* begin, const char* end) {
                                 std::string name;
                                 ini_syntax::SplitEntry(begin, end, &name, nullptr, nullptr);
                                 names.insert(std::move(name));
                               });
  return static_cast<long>(names.size());
}

// Collects the keys of a range read.
class Collector : public EtcdRangeVisitor {
 public:
  void Begin(int64_t) override { pairs.clear(); }
  void Add(EtcdKeyValue& pair) override { pairs.push_back(std::move(pair)); }
  std::vector<EtcdKeyValue> pairs;
};

// Receives the source's keys in order and commits them to the destination in batches.
class Copier : public EtcdRangeVisitor {
 public:
  struct Store {
    KeyLayout layout;
    std::string shown;
  };

  Copier(const Store& from, const Store& to, EtcdClient& destination,
         const zor::qel::CopyOptions& options)
      : from_(from), to_(to), destination_(destination), options_(options) {
    cap_ = options.batch > 0 ? static_cast<size_t>(options.batch) : kDefaultBatch;
  }

  // Looks at the destination: it must hold no group below its root, or be marked as an
  // unfinished copy of `source`.
  void Start(const std::string& source) {
    const std::string marker = to_.layout.Key(kCopyMarker);
    EtcdOperation groups{EtcdOperation::Kind::kRange, to_.layout.base + "/", to_.layout.End(), ""};
    groups.count_only = true;
    const EtcdTxnResult result =
        destination_.Txn({}, {{EtcdOperation::Kind::kRange, marker, "", ""}, groups}, {});
    start_revision_ = result.revision;
    if (result.ranges.size() == 2 && !result.ranges[0].empty()) {
      marker_revision_ = result.ranges[0].front().mod_revision;
      const std::string earlier = MarkedSource(result.ranges[0].front().value);
      if (earlier != source) {
        Refuse("the destination " + to_.shown + " holds an unfinished copy of " +
                   (earlier.empty() ? "another store" : earlier) +
                   "; only that copy, run again, may finish it",
               __LINE__);
      }
      marked_ = true;
      resuming_ = true;
      counts_.resumed = true;
    } else if (result.counts.size() == 2 && result.counts[1] > 0) {
      Refuse("the destination " + to_.shown +
                 " already holds keys; copy writes only into an empty store",
             __LINE__);
    }
    source_ = source;
  }

  void Begin(int64_t count) override {
    // A read that starts again (its revision was compacted away) finds in the destination what
    // this copy committed so far: it goes on as a resumed copy would.
    if (started_) resuming_ = true;
    started_ = true;
    count_ = count;
    pending_.clear();
    bytes_ = 0;
    lo_ = to_.layout.prefix;
    committed_ = 0;
    const bool resumed = counts_.resumed;
    counts_ = zor::qel::CopyCounts();
    counts_.resumed = resumed;
  }

  void Add(EtcdKeyValue& pair) override {
    std::string group = from_.layout.GroupOf(pair.key);
    if (!StorableName(group)) return;  // another store's key
    const char* unholdable = UnholdableReason(group);
    if (*unholdable != '\0') {
      std::string quoted;  // a key may hold any byte: quoted as a group name would be
      ini_syntax::AppendToken(quoted, pair.key, ini_syntax::GroupNeedsQuotes(pair.key));
      CLogMsg("CopyEtcdStore", "ini", kLogError)
          << "etcd key " << quoted << " on " << from_.shown
          << " is no key of the tree: " << unholdable << "; it is not copied" << flush;
      return;
    }
    CheckGroupText(pair.value, pair.key, from_.shown, "");
    if (group == kCopyMarker) RefuseUnfinished(from_.shown);
    if (!pending_.empty() &&
        (pending_.size() >= cap_ || bytes_ + group.size() + pair.value.size() > kBatchBytes)) {
      Commit(0, pending_.size(), to_.layout.Key(group), false);
      pending_.clear();
      bytes_ = 0;
    }
    if (!group.empty()) {
      ++counts_.keys;
      counts_.values += ValueCount(pair.value);
    }
    bytes_ += group.size() + pair.value.size();
    pending_.push_back({std::move(group), std::move(pair.value)});
  }

  // Commits what is left, with the end of the copy.
  zor::qel::CopyCounts Finish() {
    Commit(0, pending_.size(), to_.layout.End(), true);
    pending_.clear();
    return counts_;
  }

 private:
  struct Group {
    std::string name;
    std::string text;
  };

  // Commits the pending groups [begin, end), which are all the source has before the
  // destination's key `hi`; `last` when nothing follows. A commit the cluster refuses for its
  // size goes again in halves, and later commits hold at most that many groups.
  void Commit(size_t begin, size_t end, const std::string& hi, bool last) {
    try {
      CommitOnce(begin, end, hi, last);
    } catch (const QELError& error) {
      if (error.Code() != kIniWriteFailed || end - begin <= 1) throw;
      const size_t half = (end - begin) / 2;
      cap_ = std::min(cap_, half);
      Tell("the store refused " + std::to_string(end - begin) + " keys in one commit; committing " +
           std::to_string(half) + " at a time");
      Commit(begin, begin + half, to_.layout.Key(pending_[begin + half].name), false);
      Commit(begin + half, end, hi, last);
    }
  }

  void CommitOnce(size_t begin, size_t end, const std::string& hi, bool last) {
    std::vector<EtcdOperation> operations;
    // What the destination holds between the previous commit's groups and the next one's.
    std::map<std::string, std::string> there;
    // Nobody else changed those keys since: the destination was empty then, or they were read.
    int64_t seen = start_revision_;
    if (resuming_) {
      Collector found;
      seen = destination_.ReadRange(lo_, hi, kPageKeys, found);
      for (EtcdKeyValue& pair : found.pairs) {
        std::string group = to_.layout.GroupOf(pair.key);
        if (!StorableName(group) || group == kCopyMarker) continue;
        there.emplace(std::move(group), std::move(pair.value));
      }
    }
    long skipped = 0;
    for (size_t i = begin; i < end; ++i) {
      const Group& group = pending_[i];
      const auto held = there.find(group.name);
      if (held != there.end()) {
        const bool same = held->second == group.text;
        there.erase(held);
        if (same) {
          skipped += group.name.empty() ? 0 : 1;
          continue;
        }
      }
      operations.push_back({EtcdOperation::Kind::kPut, to_.layout.Key(group.name), "", group.text});
    }
    // Groups an earlier run copied that the source no longer has.
    for (const auto& gone : there) {
      operations.push_back({EtcdOperation::Kind::kDelete, to_.layout.Key(gone.first), "", ""});
    }
    const bool whole = last && commits_ == 0 && !marked_;  // the copy in one commit
    bool mark = false;
    if (!whole && !marked_) {
      operations.push_back(
          {EtcdOperation::Kind::kPut, to_.layout.Key(kCopyMarker), "", MarkerText(source_)});
      mark = true;
    } else if (last && marked_) {
      operations.push_back({EtcdOperation::Kind::kDelete, to_.layout.Key(kCopyMarker), "", ""});
    }
    if (!operations.empty()) {
      const EtcdTxnResult result = destination_.Txn(Unchanged(hi, seen, mark), operations, {});
      if (!result.succeeded) {
        Fail(static_cast<long>(zor::qel::StoreError::kConflict), kIniFacility,
             "another writer changed " + to_.shown + " during the copy" +
                 (marked_ ? "; run the same copy again to finish it" : ""),
             __LINE__);
      }
      if (mark) marker_revision_ = result.revision;
      ++commits_;
      marked_ = mark || (marked_ && !last);
    }
    counts_.skipped += skipped;
    lo_ = hi;
    committed_ += static_cast<int64_t>(end - begin);
    if (!last) {
      Tell(std::to_string(committed_) + " of " + std::to_string(count_) + " keys committed");
    }
  }

  // The conditions of the commit that ends at `hi`: no key between the previous commit's groups
  // and `hi` changed after `revision`, and the marker is as this copy left it (absent when the
  // commit puts it). Range comparisons cost the cluster a read of their keys, so they cover only
  // the keys this commit writes between, not those of earlier commits.
  std::vector<EtcdCompare> Unchanged(const std::string& hi, int64_t revision, bool mark) const {
    const std::string marker = to_.layout.Key(kCopyMarker);
    std::vector<EtcdCompare> compare;
    const auto add = [&](const std::string& from, const std::string& to) {
      if (from < to) {
        compare.push_back(
            {from, to, EtcdCompare::Target::kMod, EtcdCompare::Result::kLess, revision + 1});
      }
    };
    std::string from = lo_;
    if (from == to_.layout.prefix) {
      // The root group's key, and not the keys of another store whose prefix begins the same way.
      compare.push_back(
          {from, "", EtcdCompare::Target::kMod, EtcdCompare::Result::kLess, revision + 1});
      from = std::max(from, to_.layout.base + "/");
    }
    if (marker >= from && marker < hi) {
      add(from, marker);
      add(marker + std::string(1, '\0'), hi);
    } else {
      add(from, hi);
    }
    if (mark) {
      compare.push_back(
          {marker, "", EtcdCompare::Target::kVersion, EtcdCompare::Result::kEqual, 0});
    } else if (marked_) {
      compare.push_back(
          {marker, "", EtcdCompare::Target::kMod, EtcdCompare::Result::kEqual, marker_revision_});
    }
    return compare;
  }

  void Tell(const std::string& line) const {
    if (options_.progress) options_.progress(line);
  }

  const Store& from_;
  const Store& to_;
  EtcdClient& destination_;
  const zor::qel::CopyOptions& options_;
  std::string source_;  // the source as the marker names it
  size_t cap_ = kDefaultBatch;
  bool started_ = false;
  bool resuming_ = false;        // the destination may hold groups of this copy
  bool marked_ = false;          // the destination holds the marker
  int64_t start_revision_ = 0;   // the destination's revision when the copy looked at it first
  int64_t marker_revision_ = 0;  // the marker's, while the destination holds it
  std::string lo_;               // the destination's key where the next commit's groups begin
  std::vector<Group> pending_;
  size_t bytes_ = 0;
  int64_t count_ = 0;      // the keys of the source's range
  int64_t committed_ = 0;  // the source's groups committed
  int64_t commits_ = 0;
  zor::qel::CopyCounts counts_;
};

}  // namespace

zor::qel::CopyCounts CopyEtcdGroups(const zor::qel::StoreLogin& source,
                                    const zor::qel::StoreLogin& destination,
                                    const zor::qel::CopyOptions& options) {
  const EtcdAddress from_address = ParseAddress(source.address);
  const EtcdAddress to_address = ParseAddress(destination.address);
  const Copier::Store from{from_address.layout, zor::qel::MaskCredentials(source.address)};
  const Copier::Store to{to_address.layout, zor::qel::MaskCredentials(destination.address)};
  EtcdClient reader(ClientOptions(from_address, from.shown, source.user, source.password));
  EtcdClient writer(ClientOptions(to_address, to.shown, destination.user, destination.password));
  reader.Authenticate();
  writer.Authenticate();
  // An unfinished copy is no source: asked before anything is written.
  const EtcdTxnResult marker =
      reader.Txn({}, {{EtcdOperation::Kind::kRange, from.layout.Key(kCopyMarker), "", ""}}, {});
  if (!marker.ranges.empty() && !marker.ranges.front().empty()) RefuseUnfinished(from.shown);
  Copier copier(from, to, writer, options);
  copier.Start(from.shown);
  reader.ReadRange(from.layout.prefix, from.layout.End(), kPageKeys, copier, kPageBytes);
  return copier.Finish();
}
