// Values read in place through zor::qel::View, on generated stores and generated histories: a
// view shows what GetValue returns, a warm read path allocates nothing, and a view taken before
// writes, moves, refreshes, merges and erasures still reads its value until its handle's rule ends
// it (the address sanitizer tells a view that dangles).
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/zor_qel.h>
#include "../bench/allocation_counter.h"
#include "api/api_support.h"

namespace {

using api_test::Connect;
using api_test::StoreFile;

// Value names as a program spells them: a few names in any letter case, so that lookups ignore
// case both ways.
rc::Gen<std::string> Name() {
  return rc::gen::map(
      rc::gen::pair(rc::gen::element<std::string>("a", "host", "Port", "x_long_value_name_1"),
                    rc::gen::container<std::vector<bool>>(4, rc::gen::arbitrary<bool>())),
      [](const std::pair<std::string, std::vector<bool>>& parts) {
        std::string name = parts.first;
        for (size_t i = 0; i < name.size() && i < parts.second.size(); ++i) {
          if (parts.second[i] && name[i] >= 'a' && name[i] <= 'z') name[i] -= 'a' - 'A';
        }
        return name;
      });
}

// Stored entry texts: short and long, lists (0x1B after each element), empty, blanks and '='.
rc::Gen<std::string> EntryText() {
  return rc::gen::weightedOneOf<std::string>(
      {{4, rc::gen::container<std::string>(rc::gen::element('a', 'B', '\x1b', ' ', '=', '7'))},
       {1, rc::gen::map(rc::gen::element<size_t>(16, 40, 80),
                        [](size_t length) { return std::string(length, 'v') + '\x1b'; })}});
}

struct GeneratedGroup {
  std::string path;
  std::vector<std::pair<std::string, std::string>> entries;
};

// Up to 30 groups of up to 12 entries, paths up to 6 names deep.
rc::Gen<std::vector<GeneratedGroup>> Groups() {
  const auto path = rc::gen::map(
      rc::gen::resize(6, rc::gen::container<std::vector<std::string>>(rc::gen::element<std::string>(
                             "S", "app", "Module_with_a_long_name", "k"))),
      [](const std::vector<std::string>& names) {
        std::string joined;
        for (const std::string& name : names) joined += "/" + name;
        return joined.empty() ? std::string("/top") : joined;
      });
  const auto entries =
      rc::gen::resize(12, rc::gen::container<std::vector<std::pair<std::string, std::string>>>(
                              rc::gen::pair(Name(), EntryText())));
  return rc::gen::resize(30, rc::gen::container<std::vector<GeneratedGroup>>(
                                 rc::gen::construct<GeneratedGroup>(path, entries)));
}

// The store file of `groups`; a path given twice, and a name twice in a group, are left to the
// store's rules, which both reads follow.
std::string FileOf(const std::vector<GeneratedGroup>& groups) {
  std::string text;
  for (const GeneratedGroup& group : groups) {
    text += "[" + group.path + "]\n";
    for (const auto& entry : group.entries) text += entry.first + "=" + entry.second + "\n";
  }
  return text;
}

// A view is taken from a handle that outlives the call, never from a temporary one.
template <class Key, class = void>
struct Viewable : std::false_type {};
template <class Key>
struct Viewable<Key, std::void_t<decltype(zor::qel::View(std::declval<Key>(), ""))>>
    : std::true_type {};
static_assert(Viewable<const QELRBKey&>::value && !Viewable<QELRBKey>::value);

// Whether `view` shows what HasValue and GetValue of the same handle answer.
void ExpectSameAsGetValue(const QELRBKey& key, const std::string& name,
                          const zor::qel::ValueView& view) {
  RC_ASSERT(view.Present() == key.HasValue(name));
  if (view) RC_ASSERT(*view == key.GetValue(name));
}

std::vector<std::string> ProbeNames() {
  std::vector<std::string> names;
  for (const char* name : {"a", "A", "host", "HOST", "Port", "port", "x_long_value_name_1",
                           "X_LONG_VALUE_NAME_1", "absent", ""}) {
    names.emplace_back(name);
  }
  return names;
}

RC_GTEST_PROP(ZorQelView, ShowsWhatGetValueReturnsAndAllocatesNothingOnceWarm, ()) {
  const std::vector<GeneratedGroup> groups = *Groups();
  const api_test::LogCapture quiet(false);  // loading tells of each value with a truncated list
  const StoreFile store(FileOf(groups));
  const QELConnection connection = Connect(store);
  const std::vector<std::string> names = ProbeNames();
  QELRBKey key(connection);
  for (const GeneratedGroup& group : groups) {
    key.ChangeKey(group.path);
    for (const std::string& name : names)
      ExpectSameAsGetValue(key, name, zor::qel::View(key, name));
  }
  // Every key was opened once: moving the handle and reading in place allocates nothing now.
  size_t elements = 0;
  const size_t live = ResetAllocationPeak();
  for (const GeneratedGroup& group : groups) {
    key.ChangeKey(group.path);
    for (const std::string& name : names) {
      const zor::qel::ValueView view = zor::qel::View(key, name);
      if (view) elements += view->Size();
    }
  }
  const size_t peak = PeakAllocatedBytes();
  RC_ASSERT(peak == live);
  RC_TAG(elements > 0 ? "values read" : "no value");
}

// One step of a history: through handle 0 (a key), 1 (another key on the same path) or 2 (a copy
// of handle 0, sharing its key until one of them writes).
struct Step {
  enum Kind { kView, kSet, kDelete, kOtherWriter, kErase, kMove } kind;
  int handle;
  std::string name;
  std::vector<std::string> elements;
  bool refresh;  // kOtherWriter: whether the connection refreshes after it
};

// Elements a program sets: short texts, now and then a long one.
rc::Gen<std::vector<std::string>> Elements() {
  return rc::gen::container<std::vector<std::string>>(rc::gen::weightedOneOf<std::string>(
      {{4, rc::gen::container<std::string>(rc::gen::element('a', 'B', ' ', '='))},
       {1, rc::gen::just(std::string(40, 'w'))}}));
}

void showValue(const Step& step, std::ostream& out) {
  static const char* const kKinds[] = {"View", "Set", "Delete", "OtherWriter", "Erase", "Move"};
  out << kKinds[step.kind] << "(handle " << step.handle << ", " << step.name;
  for (const std::string& element : step.elements) out << ", \"" << element << "\"";
  out << (step.refresh ? ", refresh)" : ")");
}

rc::Gen<Step> Steps() {
  return rc::gen::construct<Step>(rc::gen::weightedElement<Step::Kind>({{6, Step::kView},
                                                                        {2, Step::kSet},
                                                                        {1, Step::kDelete},
                                                                        {2, Step::kOtherWriter},
                                                                        {1, Step::kErase},
                                                                        {1, Step::kMove}}),
                                  rc::gen::element(0, 1, 2), Name(), Elements(),
                                  rc::gen::arbitrary<bool>());
}

// A view taken, the copy of what it showed, and the handle it came from.
struct Taken {
  zor::qel::ValueView view;
  QELRBValue shown;
  int handle;
};

RC_GTEST_PROP(ZorQelView, ReadsItsValueUntilItsHandleChanges, ()) {
  // Histories stay short: every write syncs the file to disk.
  const std::vector<Step> steps =
      *rc::gen::resize(12, rc::gen::container<std::vector<Step>>(Steps()));
  const StoreFile store(
      "[/K]\nhost=alder\nPort=1\x1b"
      "2\x1b\n[/L]\nhost=birch\n");
  QELConnection connection = Connect(store);
  QELConnection other = Connect(store);
  QELRBKey first("/K", connection);
  std::vector<QELRBKey> handles = {first, QELRBKey("/K", connection), first};
  // Handles 0 and 2 share one key until one writes: the rule is applied to both together.
  auto family = [](int handle, int of) { return handle == of || (handle != 1 && of != 1); };
  std::vector<Taken> taken;
  std::vector<bool> stale(3, false);  // the store changed since the handle last read
  auto end_views_of = [&](int handle) {
    std::vector<Taken> kept;
    for (Taken& view : taken) {
      if (!family(view.handle, handle)) kept.push_back(std::move(view));
    }
    taken = std::move(kept);
  };
  auto store_changed = [&] { stale.assign(3, true); };
  for (const Step& step : steps) {
    QELRBKey& key = handles[step.handle];
    switch (step.kind) {
      case Step::kView: {
        if (stale[step.handle]) end_views_of(step.handle);
        stale[step.handle] = false;
        const zor::qel::ValueView view = zor::qel::View(key, step.name);
        ExpectSameAsGetValue(key, step.name, view);
        if (view) taken.push_back(Taken{view, *view, step.handle});
        break;
      }
      case Step::kSet:
      case Step::kDelete:
        end_views_of(step.handle);
        if (step.kind == Step::kSet) {
          key.SetValue(step.name, QELRBValue(step.elements));
        } else {
          key.DeleteValue(step.name);
        }
        store_changed();
        break;
      case Step::kOtherWriter: {
        // Another process writes; the connection merges it at a refresh or at its next write.
        other.Refresh();
        QELRBKey root(other);
        const std::string name = key.GetKeyPath().substr(1);
        if (!root.HasSubkey(name)) root.CreateSubkey(name);
        root.GetSubkey(name).SetValue(step.name, QELRBValue(step.elements));
        if (step.refresh) connection.Refresh();
        store_changed();
        break;
      }
      case Step::kErase:
        // Erased through a handle of its own; the next write through any handle makes it again.
        if (QELRBKey(connection).HasSubkey(key.GetKeyPath().substr(1))) {
          QELRBKey(key.GetKeyPath(), connection).CommitSuicide();
          store_changed();
        }
        break;
      case Step::kMove: {
        const std::string target = key.GetKeyPath() == "/K" ? "L" : "K";
        if (QELRBKey(connection).HasSubkey(target)) {
          end_views_of(step.handle);
          key.ChangeKey("/" + target);
        }
        break;
      }
    }
    for (const Taken& view : taken) RC_ASSERT(*view.view == view.shown);
  }
}

}  // namespace
