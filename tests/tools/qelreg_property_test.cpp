// Generated check of the built qelreg: any bytes a shell can pass (all but NUL and ESC) as a key
// name, a value name, a value or a list element, written with set, add and import, read back
// identically through get --json and export.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>
#include <nlohmann/json.hpp>

#include <ini_syntax.h>

#include "scratch_files.h"
#include "test_system.h"

namespace {

// Each qelreg run starts a process: the default case count keeps the check to seconds.
[[maybe_unused]] const bool kBounded = ::setenv("RC_PARAMS", "max_success=15", 0) == 0;

using Values = std::map<std::string, std::vector<std::string>>;

// Bytes a shell can pass, drawn so that the ones the INI format and the command line treat
// specially come often; some texts are wrapped in brackets, start with "--" or a tab, or end
// with a space.
rc::Gen<std::string> ShellBytes() {
  const std::vector<std::string> pieces = {
      " ",    "\t", "\"", "'", "=",  "[",  "]", ";",    "#",        "\\",   "\n",
      "\r\n", "\r", ",",  "/", "%%", "{}", "-", "\xff", "\xc3\xa9", "\x80", "\xEF\xBB\xBF"};
  const auto byte = rc::gen::map(rc::gen::inRange<int>(1, 256), [](int b) {
    return std::string(1, static_cast<char>(b == 0x1B ? 'e' : b));
  });
  const auto piece = rc::gen::elementOf(pieces);
  const auto text =
      rc::gen::map(rc::gen::container<std::vector<std::string>>(rc::gen::oneOf(byte, piece, piece)),
                   [](const std::vector<std::string>& parts) {
                     std::string joined;
                     for (const std::string& part : parts) joined += part;
                     return joined;
                   });
  return rc::gen::oneOf(text, text,
                        rc::gen::map(text, [](const std::string& t) { return "[" + t + "]"; }),
                        rc::gen::map(text, [](const std::string& t) { return "--" + t; }),
                        rc::gen::map(text, [](const std::string& t) { return t + " "; }),
                        rc::gen::map(text, [](const std::string& t) { return "\t" + t; }));
}

// A key name: shell bytes without "/", and neither "." nor "..".
rc::Gen<std::string> KeyName() {
  return rc::gen::suchThat(
      rc::gen::map(ShellBytes(),
                   [](std::string name) {
                     for (char& c : name) c = c == '/' ? '_' : c;
                     return name;
                   }),
      [](const std::string& name) { return !name.empty() && name != "." && name != ".."; });
}

rc::Gen<std::string> ValueName() {
  return rc::gen::suchThat(ShellBytes(), [](const std::string& name) { return !name.empty(); });
}

class Qelreg {
 public:
  // Runs qelreg with `args` (fork and exec, no shell); its standard output, or a failed check.
  std::string Run(const std::vector<std::string>& args) const {
    const int status = RunProgram(QELREG_PATH, args, "", dir_.File("out"), dir_.File("err"));
    const std::string out = ReadWholeFile(dir_.File("out"));
    RC_LOG() << "qelreg " << ::testing::PrintToString(args) << ": " << status << "\n"
             << out << ReadWholeFile(dir_.File("err")) << "\n";
    RC_ASSERT(status == 0);
    return out;
  }
  std::string File(const std::string& name) const { return dir_.File(name); }

  // Runs `command` on the store with its arguments, "--" before them when one starts with '-'
  // (which would be taken for an option) or when `separate`; with `json` as --json.
  std::string On(bool json, const std::string& command,
                 const std::vector<std::string>& args) const {
    std::vector<std::string> call = {"--store", File("s.ini"), command};
    if (json) call.insert(call.begin(), "--json");
    const bool dashed = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
      return !arg.empty() && arg.front() == '-';
    });
    if (dashed || separate) call.push_back("--");
    call.insert(call.end(), args.begin(), args.end());
    return Run(call);
  }

  bool separate = false;

 private:
  ScratchDirectory dir_;
};

// One entry's value as the store keeps it: a string, or the elements each followed by ESC.
std::string StoredValue(const std::vector<std::string>& elements) {
  if (elements.size() == 1) return elements.front();
  std::string value;
  for (const std::string& element : elements) value += element + '\x1B';
  return value;
}

// The elements of a stored value; an empty value has none.
std::vector<std::string> Elements(const std::string& stored) {
  if (stored.empty()) return {};
  if (stored.back() != '\x1B') return {stored};
  std::vector<std::string> elements;
  size_t start = 0;
  for (size_t end = stored.find('\x1B'); end != std::string::npos;
       end = stored.find('\x1B', start)) {
    elements.push_back(stored.substr(start, end - start));
    start = end + 1;
  }
  return elements;
}

// `bytes` as qelreg's JSON shows them once parsed: UTF-8 as it is, any other byte as the
// character of its number.
std::string AsJsonShowsIt(const std::string& bytes) {
  std::string shown;
  for (size_t at = 0; at < bytes.size();) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    const std::string sequence = bytes.substr(at, length);
    bool valid = length > 0 && sequence.size() == length;
    try {
      valid =
          valid && length > 1 ? nlohmann::json::parse("\"" + sequence + "\"") == sequence : valid;
    } catch (const nlohmann::json::exception&) {
      valid = false;
    }
    if (valid) {
      shown += sequence;
      at += length;
    } else {
      shown += static_cast<char>(0xC0 | (lead >> 6));
      shown += static_cast<char>(0x80 | (lead & 0x3F));
      ++at;
    }
  }
  return shown;
}

// The values of `path` as get --json prints them, and as export writes them (read with the
// store's own loader), both compared with `expected`; the elements of the value `unordered` in
// any order.
void ExpectReadBack(const Qelreg& qelreg, const std::string& path, Values expected,
                    const std::string& unordered) {
  const auto sorted = [](std::vector<std::string> elements) {
    std::sort(elements.begin(), elements.end());
    return elements;
  };
  nlohmann::json got = nlohmann::json::parse(qelreg.On(true, "get", {path}));
  const std::string unorderedShown = AsJsonShowsIt(unordered);
  if (got.is_object() && got.contains(unorderedShown) && got[unorderedShown].is_array()) {
    got[unorderedShown] = sorted(got[unorderedShown].get<std::vector<std::string>>());
  }
  Values shown;
  for (const auto& [name, elements] : expected) {
    std::vector<std::string> json;
    for (const std::string& element : elements) json.push_back(AsJsonShowsIt(element));
    shown[AsJsonShowsIt(name)] = name == unordered ? sorted(json) : json;
  }
  const bool same = got == nlohmann::json(shown);
  RC_ASSERT(same);

  MemoryIni exported;
  exported.LoadImage(qelreg.On(false, "export", {path}), "export");
  const IniContent content = ContentOf(exported);
  RC_ASSERT(content.size() == 1u);
  RC_ASSERT(content.begin()->first == path);
  Values read;
  for (const auto& [name, stored] : content.begin()->second) {
    read[name] = name == unordered ? sorted(Elements(stored)) : Elements(stored);
  }
  expected[unordered] = sorted(expected[unordered]);
  const bool identical = read == expected;
  RC_ASSERT(identical);
}

}  // namespace

RC_GTEST_PROP(QelregProperty, AnyShellBytesReadBackAsWritten, ()) {
  const std::string path = "/" + *KeyName().as("key") + "/" + *KeyName().as("subkey");
  const std::string name = *ValueName().as("value name");
  const std::string value = *ShellBytes().as("value");
  const auto elements =
      *rc::gen::suchThat(rc::gen::container<std::vector<std::string>>(ShellBytes()),
                         [](const std::vector<std::string>& list) { return list.size() >= 2; })
           .as("list");
  const auto added =
      *rc::gen::suchThat(rc::gen::unique<std::vector<std::string>>(ShellBytes()),
                         [](const std::vector<std::string>& list) { return !list.empty(); })
           .as("added");
  // Value names are case-insensitive: four distinct ones.
  const std::string listName = "list " + name;
  const std::string setName = "set " + name;
  const std::string addName = "add " + name;

  // import creates the key with a value and a list, written with the store's quoting.
  std::string ini = "[";
  ini_syntax::AppendToken(ini, path, ini_syntax::GroupNeedsQuotes(path));
  ini += "]\n";
  for (const auto& [entry, stored] :
       {std::make_pair(name, value), std::make_pair(listName, StoredValue(elements))}) {
    ini_syntax::AppendToken(ini, entry, ini_syntax::EntryNameNeedsQuotes(entry));
    ini += "=";
    ini_syntax::AppendToken(ini, stored, ini_syntax::ValueNeedsQuotes(stored));
    ini += "\n";
  }
  Qelreg qelreg;
  qelreg.separate = *rc::gen::arbitrary<bool>().as("-- before every argument list");
  WriteWholeFile(qelreg.File("in.ini"), ini);
  qelreg.Run({"--store", qelreg.File("s.ini"), "--create", "import", qelreg.File("in.ini")});
  std::vector<std::string> set = {path, setName};
  set.insert(set.end(), elements.begin(), elements.end());
  qelreg.On(false, "set", set);
  std::vector<std::string> add = {path, addName};
  add.insert(add.end(), added.begin(), added.end());
  qelreg.On(false, "add", add);

  // add merges its elements in the list's own order; one argument is a string value, and the
  // empty string the empty value.
  ExpectReadBack(qelreg, path,
                 {{name, Elements(value)},
                  {listName, elements},
                  {setName, elements},
                  {addName, added.size() == 1 ? Elements(added[0]) : added}},
                 addName);
}
