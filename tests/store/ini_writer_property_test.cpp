// Generated check of the INI writer: stores of every shape, from a few bytes to megabytes, take
// sequences of key operations, and after every flush the file holds exactly the bytes that a
// plain model makes by editing the store's list of lines the way the README describes.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "forwarding_file_system.h"
#include "qel_ini_connection.h"
#include "qel_ini_key.h"
#include "scratch_files.h"

namespace {

const char kEsc = '\x1B';
const std::string kBom = "\xEF\xBB\xBF";

// ---- The model: a store is a list of lines, and every operation edits that list. ----

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool HasOuterBlank(const std::string& s) {
  return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back()));
}
bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }
bool Begins(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// What would not read back raw is quoted: a header name that begins with a quote or holds a
// line break; an entry name that would make the line another kind, hide its '=' or lose
// blanks; a value that begins with a quote, holds a line break or would lose blanks.
bool GroupNeedsQuotes(const std::string& s) { return Begins(s, "\"") || HasLineBreak(s); }
bool NameNeedsQuotes(const std::string& s) {
  return !s.empty() && (std::string("\"[;#").find(s[0]) != std::string::npos || Begins(s, kBom) ||
                        HasOuterBlank(s) || HasLineBreak(s) || s.find('=') != std::string::npos);
}
bool ValueNeedsQuotes(const std::string& s) {
  return Begins(s, "\"") || HasOuterBlank(s) || HasLineBreak(s);
}

// A quoted token escapes backslash, quote, LF, CR and tab.
std::string Token(const std::string& s, bool quoted) {
  if (!quoted) return s;
  const std::string escaped = "\\\"\n\r\t";
  std::string out = "\"";
  for (char c : s) {
    const size_t at = escaped.find(c);
    out += at == std::string::npos ? std::string(1, c) : std::string{'\\', "\\\"nrt"[at]};
  }
  return out + "\"";
}

// Value names compare ignoring ASCII letter case; group names byte for byte.
bool SameName(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

struct Line {
  enum Kind { kOther, kHeader, kEntry } kind = kOther;
  std::string text;     // without the line end
  std::string end;      // "\n" or "\r\n"; the last line's may be "" or a lone "\r"
  std::string name;     // a header's group, an entry's name, decoded
  std::string value;    // an entry's value, decoded
  size_t value_at = 0;  // an entry's: where its value's text starts
};

Line Header(const std::string& group, const std::string& before = "", const std::string& after = "",
            bool quoted = false) {
  return {Line::kHeader,
          before + "[" + Token(group, quoted || GroupNeedsQuotes(group)) + "]" + after,
          "",
          group,
          "",
          0};
}

// name, blanks, '=', blanks, value, blanks; a value's text starts after the blanks that follow
// the '=' (all of them when the value is empty).
Line Entry(const std::string& name, const std::string& value, bool quoted = false,
           const std::string& pad1 = "", const std::string& pad2 = "",
           const std::string& pad3 = "") {
  Line line{Line::kEntry, Token(name, quoted || NameNeedsQuotes(name)) + pad1 + "=" + pad2,
            "",           name,
            value,        0};
  const std::string value_text = Token(value, quoted || ValueNeedsQuotes(value));
  line.value_at = value_text.empty() ? line.text.size() + pad3.size() : line.text.size();
  line.text += value_text + pad3;
  return line;
}

struct Store {
  std::string bom;
  std::vector<Line> lines;
  std::string line_end = "\n";  // new lines take the end of the file's first line
  // The group "" whose last entry before the first header was erased lives on, written as a
  // "[]" line where that entry was.
  bool bare_root = false;

  void Loaded() { line_end = !lines.empty() && lines[0].end == "\r\n" ? "\r\n" : "\n"; }

  // A line that lacks its end gets one when another line follows it.
  std::string Bytes() const {
    std::string out = bom;
    auto add = [&](const std::string& text, const std::string& end) {
      if (out.size() > bom.size() && out.back() != '\n')
        out += out.back() == '\r' ? "\n" : line_end;
      out += text + end;
    };
    bool root_due = bare_root;
    for (const Line& line : lines) {
      if (root_due && line.kind == Line::kHeader) add("[]", line_end);
      root_due = root_due && line.kind != Line::kHeader;
      add(line.text, line.end);
    }
    if (root_due) add("[]", line_end);
    return out;
  }

  // A header and the lines below it up to the next header belong to its group; before the first
  // header only entries belong to a group, the group "".
  bool InGroup(size_t i, long header, const std::string& group) const {
    if (header < 0) return group.empty() && lines[i].kind == Line::kEntry;
    return lines[static_cast<size_t>(header)].name == group;
  }
  template <typename Visit>  // visit(index, header above it or -1)
  void Walk(Visit&& visit) const {
    long header = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].kind == Line::kHeader) header = static_cast<long>(i);
      visit(i, header);
    }
  }
  bool Exists(const std::string& group) const {
    bool found = group.empty() && bare_root;
    Walk([&](size_t i, long header) { found = found || InGroup(i, header, group); });
    return found;
  }
  // The last line of that name gives an entry's value.
  const Line* Find(const std::string& group, const std::string& name) const {
    const Line* found = nullptr;
    Walk([&](size_t i, long header) {
      if (InGroup(i, header, group) && lines[i].kind == Line::kEntry &&
          SameName(lines[i].name, name))
        found = &lines[i];
    });
    return found;
  }
  Line NewLine(Line line) const {
    line.end = line_end;
    return line;
  }

  // A set rewrites the value of the last line of that name in place; a new entry goes after the
  // last entry of the group's last section (or right under its header), a new group at the end.
  void Set(const std::string& group, const std::string& name, const std::string& value) {
    if (const Line* found = Find(group, name)) {
      Line& line = lines[static_cast<size_t>(found - lines.data())];
      line.text = line.text.substr(0, line.value_at) + Token(value, ValueNeedsQuotes(value));
      line.value = value;
      return;
    }
    long insert_at = group.empty() && bare_root ? 0 : -1;
    bare_root = bare_root && !group.empty();
    Walk([&](size_t i, long header) {
      if (InGroup(i, header, group) && lines[i].kind != Line::kOther)
        insert_at = static_cast<long>(i) + 1;
    });
    if (insert_at < 0) {
      lines.push_back(NewLine(Header(group)));
      insert_at = static_cast<long>(lines.size());
    }
    lines.insert(lines.begin() + insert_at, NewLine(Entry(name, value)));
  }
  void InsertGroup(const std::string& group) {
    if (!Exists(group)) lines.push_back(NewLine(Header(group)));
  }
  void Drop(const std::function<bool(size_t, long)>& doomed) {
    std::vector<Line> kept;
    Walk([&](size_t i, long header) {
      if (!doomed(i, header)) kept.push_back(lines[i]);
    });
    lines = std::move(kept);
  }
  void Erase(const std::string& group, const std::string& name) {
    const bool existed = Exists(group);
    Drop([&](size_t i, long header) {
      return InGroup(i, header, group) && lines[i].kind == Line::kEntry &&
             SameName(lines[i].name, name);
    });
    bare_root = bare_root || (group.empty() && existed && !Exists(group));
  }
  // Erases the groups `doomed` names with all their lines.
  void EraseGroups(const std::function<bool(const std::string&)>& doomed) {
    Drop([&](size_t i, long header) {
      const std::string group = header < 0 ? "" : lines[static_cast<size_t>(header)].name;
      return InGroup(i, header, group) && doomed(group);
    });
    bare_root = bare_root && !doomed("");
  }
  // Erasing a key erases its group and the groups of every key below it.
  void EraseTree(const std::string& root) {
    EraseGroups(
        [&](const std::string& group) { return group == root || Begins(group, root + "/"); });
  }
};

// ---- Values and key operations, as the keys define them. ----

using Elements = std::vector<std::string>;

std::string Encode(const Elements& elements) {
  if (elements.size() == 1) return elements[0];
  std::string text;
  for (const std::string& element : elements) text += element + kEsc;
  return text;
}
Elements Decode(const std::string& text) {
  if (text.find(kEsc) == std::string::npos) return text.empty() ? Elements{} : Elements{text};
  Elements elements;
  for (size_t start = 0, end; (end = text.find(kEsc, start)) != std::string::npos; start = end + 1)
    elements.push_back(text.substr(start, end - start));
  return elements;
}
// A text with bytes after its last 0x1B: its elements cannot be changed without losing them.
bool Truncated(const std::string& text) {
  return text.find(kEsc) != std::string::npos && text.back() != kEsc;
}
bool Holds(const Elements& elements, const std::string& element) {
  return std::find(elements.begin(), elements.end(), element) != elements.end();
}

struct Op {
  enum Kind {
    kSet,
    kAdd,
    kDelete,
    kCreate,
    kDeleteSubkey,
    kSuicide,
    kBegin,
    kCommit,
    // The store's own operations, on any group name; only kFlush writes the file.
    kStoreSet,
    kStoreErase,
    kStoreInsert,
    kStoreEraseGroup,
    kFlush
  } kind;
  std::string path;  // the key ("" the root)
  std::string name;  // the value or subkey
  Elements elements;
};

// The code each operation answers; the model store changes as the key's would.
int Apply(const Op& op, Store& store, bool& transaction) {
  switch (op.kind) {
    case Op::kBegin:
      transaction = true;
      return 0;
    case Op::kCommit:
      transaction = false;
      return 0;
    case Op::kStoreSet:
      store.Set(op.path, op.name, Encode(op.elements));
      return 0;
    case Op::kStoreErase:
      store.Erase(op.path, op.name);
      return 0;
    case Op::kStoreInsert:
      store.InsertGroup(op.path);
      return 0;
    case Op::kStoreEraseGroup:
      store.EraseGroups([&](const std::string& group) { return group == op.path; });
      return 0;
    case Op::kFlush:
      return 0;
    default:
      break;
  }
  if (!op.path.empty() && !store.Exists(op.path)) return 158;
  if (!op.path.empty() && !Begins(op.path, "/")) return 164;
  const std::string child = op.path + "/" + op.name;
  const Line* current = store.Find(op.path, op.name);
  const Elements stored = current != nullptr ? Decode(current->value) : Elements{};
  const bool unstorable =
      std::any_of(op.elements.begin(), op.elements.end(),
                  [](const std::string& e) { return e.find(kEsc) != std::string::npos; });
  switch (op.kind) {
    case Op::kSet:
      if (unstorable) return 168;
      store.Set(op.path, op.name, Encode(op.elements));
      return 0;
    case Op::kAdd: {
      if (unstorable) return 168;
      if (current != nullptr && Truncated(current->value)) return 168;
      for (const std::string& element : op.elements)
        if (Holds(stored, element)) return 159;
      if (current != nullptr && op.elements.empty()) return 0;
      // Each added element goes before the first remaining stored element greater than it.
      Elements merged = stored;
      auto at = merged.begin();
      for (const std::string& element : op.elements) {
        while (at != merged.end() && !(element < *at)) ++at;
        at = merged.insert(at, element) + 1;
      }
      store.Set(op.path, op.name, Encode(merged));
      return 0;
    }
    case Op::kDelete: {
      if (current == nullptr) return 0;
      if (!op.elements.empty() && Truncated(current->value)) return 168;
      if (op.elements.empty()) {
        store.Erase(op.path, op.name);
        return 0;
      }
      Elements kept;
      for (const std::string& element : stored)
        if (!Holds(op.elements, element)) kept.push_back(element);
      if (kept.size() != stored.size()) store.Set(op.path, op.name, Encode(kept));
      return 0;
    }
    case Op::kCreate:
      if (store.Exists(child)) return 159;
      store.InsertGroup(child);
      return 0;
    case Op::kDeleteSubkey:
      if (!store.Exists(child)) return 158;
      store.EraseTree(child);
      return 0;
    default:
      store.EraseTree(op.path);
      return 0;
  }
}

// ---- The library under test: backend keys on a local store. ----

// The platform's file system without the syncs: durability is not what is checked here, and the
// syncs of thousands of writes would take most of the time.
class UnsyncedFileSystem : public ForwardingFileSystem {
 public:
  int Sync(int) override { return 0; }
  int SyncDirectory(const std::string&) override { return 0; }
};

// The local store, with the whole-text writer a WebDAV store flushes with in view.
class WholeTextIni : public BackupIni {
 public:
  using BackupIni::BackupIni;
  using Ini::SerializeImage;
};

class StoreConnection : public QELIniConnection {
 public:
  explicit StoreConnection(const std::string& path) {
    Adopt(new WholeTextIni(path, std::make_shared<UnsyncedFileSystem>()), "tester", path);
  }
  std::string WholeText() {
    return static_cast<WholeTextIni&>(QELIniKey(*this).Store()).SerializeImage();
  }
};

int Apply(const Op& op, StoreConnection& connection) {
  Ini& store = QELIniKey(connection).Store();
  switch (op.kind) {
    case Op::kBegin:
      connection.BeginTransaction();
      return 0;
    case Op::kCommit:
      connection.Commit();
      return 0;
    case Op::kStoreSet:
      store.SetKeyValue(op.path, op.name, Encode(op.elements));
      return 0;
    case Op::kStoreErase:
      store.EraseKey(op.path, op.name);
      return 0;
    case Op::kStoreInsert:
      store.InsertNewGroup(op.path);
      return 0;
    case Op::kStoreEraseGroup:
      store.EraseGroup(op.path);
      return 0;
    case Op::kFlush:
      store.FlushIniDataToFile("");
      return 0;
    default:
      break;
  }
  std::unique_ptr<QELIniKey> key;
  try {
    key = op.path.empty() ? std::make_unique<QELIniKey>(connection)
                          : std::make_unique<QELIniKey>(op.path, connection);
  } catch (const QELError& error) {
    return static_cast<int>(error.Code());
  }
  const QELValueItem item(QELNoCaseString(op.name), QELRBValue(op.elements));
  switch (op.kind) {
    case Op::kSet:
      return key->SetValue(item).code;
    case Op::kAdd:
      return key->AddValue(item).code;
    case Op::kDelete:
      return key->DeleteValue(item).code;
    case Op::kCreate:
      return key->CreateSubkey(op.name).code;
    case Op::kDeleteSubkey:
      return key->DeleteSubkey(op.name, false).code;
    default:
      return key->CommitSuicide().code;
  }
}

// ---- Generated stores and operations. ----

// Names that collide: in letter case only, as prefixes of each other, with bytes that need
// quotes; the filler's groups are among them too.
const std::vector<std::string> kGroups = {"/A",    "/a",   "/A/B", "/A/b", "/A/B/C",
                                          "/B",    "/F",   "/F/0", "/F/1", "/\"Q",
                                          "/N\nL", "/ T ", "/A]",  "",     "plain"};
const std::vector<std::string> kSubkeys = {"A", "a", "B", "b", "C", "F", "0", "B/C", "\"Q", "N\nL"};
const std::vector<std::string> kNames = {
    "k",   "K",   "key", "Key", "KEY", "x y", "\xC3\xA9", "\xC3\x89", " lead",   "trail ",
    "a=b", "\"q", "q\"", "[s",  ";c",  "#h",  "n\nl",     "",         kBom + "b"};

// Most names are a few that collide often, so that edits meet the lines they change.
rc::Gen<std::string> GenName() {
  return rc::gen::weightedOneOf<std::string>(
      {{3, rc::gen::elementOf(Elements{"k", "K", "key"})}, {3, rc::gen::elementOf(kNames)}});
}

rc::Gen<std::string> Text(const std::string& alphabet) {
  return rc::gen::weightedOneOf<std::string>(
      {{9, rc::gen::container<std::string>(rc::gen::elementOf(alphabet))},
       {1, rc::gen::map(rc::gen::inRange(100, 5000), [](int length) {
          return std::string(static_cast<size_t>(length), 'L');
        })}});
}
const std::string kValueBytes = std::string("aB \t=\"\\;#[]\x1B\xC3\xA9\n\r", 17) + '\0';

rc::Gen<Elements> GenElements() {
  return rc::gen::container<Elements>(rc::gen::weightedOneOf<std::string>(
      {{6, rc::gen::elementOf(
               Elements{"", "a", "b", "B", "A", "x y", " pad ", "\"q", "n\nl", "t\tb", "=", "\\"})},
       {2, Text(kValueBytes)},
       {1, rc::gen::just(std::string("e\x1Bs"))}}));
}

rc::Gen<Line> GenLine() {
  const auto pad = rc::gen::elementOf(Elements{"", "", " ", "\t", "  "});
  return rc::gen::weightedOneOf<Line>({
      {5, rc::gen::exec([pad] {
         const std::string name =
             *rc::gen::weightedOneOf<std::string>({{5, GenName()}, {1, Text(kValueBytes)}});
         return Entry(name, *Text(kValueBytes),
                      *rc::gen::weightedElement<bool>({{4, false}, {1, true}}), *pad, *pad, *pad);
       })},
      {3, rc::gen::exec([pad] {
         return Header(*rc::gen::elementOf(kGroups), *pad, *pad,
                       *rc::gen::weightedElement<bool>({{4, false}, {1, true}}));
       })},
      {1, rc::gen::exec([pad] {
         return Line{Line::kOther,
                     *pad + *rc::gen::elementOf(std::string(";#")) +
                         *rc::gen::container<std::string>(
                             rc::gen::elementOf(std::string("c =[];#\t\"\x1B"))),
                     "",
                     "",
                     "",
                     0};
       })},
      {1, rc::gen::map(
              pad,
              [](const std::string& blanks) { return Line{Line::kOther, blanks, "", "", "", 0}; })},
  });
}

// Filler groups make the store large: [/F], then [/F/<n>] with `entries` entries each.
struct Filler {
  int groups = 0;
  int entries = 0;
  int value_length = 0;
  size_t at = 0;  // the line it goes before
};

struct Draft {
  std::string bom;
  std::vector<Line> lines;
  int ends = 0;  // 0: LF, 1: CRLF, 2: either, line by line
  std::vector<bool> crlf;
  std::string last_end;
  Filler filler;

  Store Build() const {
    Store store;
    store.bom = bom;
    std::vector<Line> filler_lines;
    if (filler.groups > 0) filler_lines.push_back(Header("/F"));
    for (int group = 0; group < filler.groups; ++group) {
      filler_lines.push_back(Header("/F/" + std::to_string(group)));
      for (int entry = 0; entry < filler.entries; ++entry)
        filler_lines.push_back(Entry("e" + std::to_string(entry),
                                     std::string(static_cast<size_t>(filler.value_length), 'v')));
    }
    store.lines = lines;
    store.lines.insert(store.lines.begin() + static_cast<long>(std::min(filler.at, lines.size())),
                       filler_lines.begin(), filler_lines.end());
    for (size_t i = 0; i < store.lines.size(); ++i)
      store.lines[i].end = ends == 1 || (ends == 2 && crlf[i % crlf.size()]) ? "\r\n" : "\n";
    if (!store.lines.empty()) store.lines.back().end = last_end;
    store.Loaded();
    return store;
  }
};

rc::Gen<Draft> GenDraft() {
  return rc::gen::exec([] {
    Draft draft;
    draft.bom = *rc::gen::weightedElement<std::string>({{4, ""}, {1, kBom}});
    draft.lines = *rc::gen::container<std::vector<Line>>(GenLine());
    draft.ends = *rc::gen::inRange(0, 3);
    draft.crlf =
        *rc::gen::nonEmpty(rc::gen::container<std::vector<bool>>(rc::gen::arbitrary<bool>()));
    draft.last_end =
        *rc::gen::weightedElement<std::string>({{3, "\n"}, {1, "\r\n"}, {1, ""}, {1, "\r"}});
    // Most stores are small; some reach hundreds of kilobytes, a few megabytes.
    draft.filler.groups = *rc::gen::weightedOneOf<int>({{14, rc::gen::just(0)},
                                                        {4, rc::gen::inRange(1, 2000)},
                                                        {1, rc::gen::inRange(2000, 20000)}});
    if (draft.filler.groups > 0) {
      draft.filler.entries = *rc::gen::inRange(0, 5);
      draft.filler.value_length = *rc::gen::inRange(0, 60);
      draft.filler.at = *rc::gen::inRange<size_t>(0, draft.lines.size() + 1);
    }
    return draft;
  });
}

rc::Gen<Op> GenOp() {
  return rc::gen::exec([] {
    Op op;
    op.kind = *rc::gen::weightedElement<Op::Kind>({{6, Op::kSet},
                                                   {3, Op::kAdd},
                                                   {3, Op::kDelete},
                                                   {2, Op::kCreate},
                                                   {2, Op::kDeleteSubkey},
                                                   {1, Op::kSuicide},
                                                   {1, Op::kBegin},
                                                   {1, Op::kCommit},
                                                   {2, Op::kStoreSet},
                                                   {2, Op::kStoreErase},
                                                   {1, Op::kStoreInsert},
                                                   {1, Op::kStoreEraseGroup},
                                                   {2, Op::kFlush}});
    op.path = *rc::gen::weightedOneOf<std::string>(
        {{1, rc::gen::just(std::string())}, {4, rc::gen::elementOf(kGroups)}});
    if (op.kind == Op::kCreate || op.kind == Op::kDeleteSubkey) {
      op.name = *rc::gen::elementOf(kSubkeys);
    } else if (op.kind == Op::kSet || op.kind == Op::kAdd || op.kind == Op::kDelete ||
               op.kind == Op::kStoreSet || op.kind == Op::kStoreErase) {
      // The keys' values live in keys, not in the root.
      if (op.path.empty() && op.kind < Op::kStoreSet) op.path = "/A";
      op.name = *GenName();
      op.elements = *GenElements();
    }
    return op;
  });
}

// ---- Reports: a failing case is shown as text a reader can follow. ----

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The first line where `actual` and `expected` part, with the line before it.
std::string FirstDifference(const std::string& actual, const std::string& expected) {
  const size_t at = static_cast<size_t>(
      std::mismatch(actual.begin(),
                    actual.begin() + static_cast<long>(std::min(actual.size(), expected.size())),
                    expected.begin())
          .first -
      actual.begin());
  const size_t line = at == 0 ? 0 : actual.rfind('\n', at - 1);
  const size_t from = line == std::string::npos || line == 0 ? 0 : actual.rfind('\n', line - 1) + 1;
  return "at byte " + std::to_string(at) + " of " + std::to_string(actual.size()) + " (model " +
         std::to_string(expected.size()) +
         "):\n  file:  " + Escaped(actual.substr(from, at - from + 80)) +
         "\n  model: " + Escaped(expected.substr(from, at - from + 80));
}

void showValue(const Op& op, std::ostream& os) {
  static const char* const kKinds[] = {
      "set",    "add",       "delete",      "create",       "delete-subkey",     "suicide", "begin",
      "commit", "store-set", "store-erase", "store-insert", "store-erase-group", "flush"};
  os << kKinds[op.kind] << " \"" << Escaped(op.path) << "\" \"" << Escaped(op.name) << "\"";
  for (const std::string& element : op.elements) os << " [" << Escaped(element) << "]";
}

void showValue(const Draft& draft, std::ostream& os) {
  os << "bom " << !draft.bom.empty() << ", ends " << draft.ends << ", last end \""
     << Escaped(draft.last_end) << "\", filler " << draft.filler.groups << " groups of "
     << draft.filler.entries << " entries of " << draft.filler.value_length << " bytes before line "
     << draft.filler.at << ", lines:";
  for (const Line& line : draft.lines) os << "\n  " << Escaped(line.text);
}

}  // namespace

// After every operation the file holds the bytes of the model's last flush, and the image
// serialized whole those of the model now.
RC_GTEST_PROP(IniWriterProperty, EveryFlushWritesTheBytesOfTheModel, ()) {
  const Draft draft = *GenDraft();
  const std::vector<Op> ops = *rc::gen::resize(30, rc::gen::container<std::vector<Op>>(GenOp()));
  Store model = draft.Build();
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  std::string flushed = model.Bytes();
  WriteWholeFile(path, flushed);
  StoreConnection connection(path);
  bool transaction = false;
  for (size_t i = 0; i < ops.size(); ++i) {
    const int code = Apply(ops[i], connection);
    RC_ASSERT(code == Apply(ops[i], model, transaction));
    // A key's change outside a transaction flushes, as do a commit and a flush.
    const Op::Kind kind = ops[i].kind;
    if (kind == Op::kCommit || kind == Op::kFlush ||
        (kind < Op::kBegin && code == 0 && !transaction))
      flushed = model.Bytes();
    const std::string file = ReadWholeFile(path);
    if (file != flushed)
      RC_FAIL("after operation " + std::to_string(i) + ", " + FirstDifference(file, flushed));
    // The whole-text writer (a WebDAV store's flush) gives the image as the model holds it too.
    const std::string image = connection.WholeText();
    const std::string now = model.Bytes();
    if (image != now) {
      RC_FAIL("image after operation " + std::to_string(i) + ", " + FirstDifference(image, now));
    }
  }
}
