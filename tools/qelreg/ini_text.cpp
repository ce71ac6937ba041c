// Writing keys as INI text and checking an import file, both with the store's own syntax code.
#include "ini_text.h"

#include <algorithm>

#include <ini_syntax.h>

#include "errors.h"

namespace qelreg {
namespace {

const char kElementEnd = '\x1B';
const std::string kByteOrderMark = "\xEF\xBB\xBF";

void AppendValue(std::string& text, const std::vector<std::string>& elements) {
  std::string value;
  if (elements.size() == 1) {
    value = elements.front();
  } else {
    for (const std::string& element : elements) value += element + kElementEnd;
  }
  ini_syntax::AppendToken(text, value, ini_syntax::ValueNeedsQuotes(value));
}

// Why `path` names no key qelreg can address, or "" when it names one: "/" and names, none of
// them empty, "." or "..".
std::string KeyPathFault(const std::string& path) {
  if (path.size() < 2 || path.front() != '/') return "does not name a key (a path such as /A/B)";
  for (size_t start = 1; start <= path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, slash - start);
    if (name.empty()) return "has an empty key name";
    if (name == "." || name == "..") return "has the key name '" + name + "'";
    start = slash + 1;
  }
  return "";
}

}  // namespace

std::string IniText(const KeyValues& keys) {
  std::string text;
  for (const auto& [path, values] : keys) {
    if (!text.empty()) text += '\n';
    text += '[';
    ini_syntax::AppendToken(text, path, ini_syntax::GroupNeedsQuotes(path));
    text += "]\n";
    for (const auto& [name, elements] : values) {
      ini_syntax::AppendToken(text, name, ini_syntax::EntryNameNeedsQuotes(name));
      text += '=';
      AppendValue(text, elements);
      text += '\n';
    }
  }
  return text;
}

void CheckKeyGroups(const std::string& text) {
  const size_t skip =
      text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0 ? kByteOrderMark.size() : 0;
  bool inGroup = false;
  long number = 0;
  ini_syntax::ForEachLine(
      text.data() + skip, text.data() + text.size(),
      [&](const char* begin, const char* end, const char*) {
        const std::string where = "line " + std::to_string(++number) + ": ";
        switch (ini_syntax::Classify(begin, end)) {
          case ini_syntax::LineKind::kHeader: {
            // The name is every byte between the first '[' and the last ']'.
            const char* open = ini_syntax::SkipBlanks(begin, end);
            const char* close = ini_syntax::TrimBack(open, end) - 1;
            const std::string name = ini_syntax::DecodeWhole(open + 1, close);
            if (name.find('\0') != std::string::npos) {
              throw ToolError(where + "the group's key path holds a NUL byte");
            }
            const std::string fault = KeyPathFault(name);
            if (!fault.empty()) throw ToolError(where + "the group [" + name + "] " + fault);
            inGroup = true;
            break;
          }
          case ini_syntax::LineKind::kEntry: {
            if (!inGroup)
              throw ToolError(where + "an entry before the first group belongs to no key");
            std::string name;
            ini_syntax::SplitEntry(begin, end, &name, nullptr, nullptr);
            if (name.find('\0') != std::string::npos) {
              throw ToolError(where + "the value name holds a NUL byte");
            }
            break;
          }
          default:
            // Blank lines, comments, and lines the store itself refuses with its own message.
            break;
        }
      });
}

}  // namespace qelreg
