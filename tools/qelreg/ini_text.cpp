// Writing keys as INI text with the store's quoting, and checking the groups of an import file.
#include "ini_text.h"

#include "errors.h"

namespace qelreg {
namespace {

const char kElementEnd = '\x1B';
const std::string kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

bool BlankAtAnEnd(const std::string& text) {
  return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

std::string Quoted(const std::string& text) {
  std::string token = "\"";
  for (char c : text) {
    switch (c) {
      case '\\':
        token += "\\\\";
        break;
      case '"':
        token += "\\\"";
        break;
      case '\n':
        token += "\\n";
        break;
      case '\r':
        token += "\\r";
        break;
      case '\t':
        token += "\\t";
        break;
      default:
        token += c;
    }
  }
  return token + "\"";
}

std::string GroupName(const std::string& name) {
  const bool quote = HasLineBreak(name) || (!name.empty() && name.front() == '"');
  return quote ? Quoted(name) : name;
}

std::string EntryName(const std::string& name) {
  const bool quote =
      HasLineBreak(name) || name.find('=') != std::string::npos || BlankAtAnEnd(name) ||
      (!name.empty() && std::string("\"[;#").find(name.front()) != std::string::npos) ||
      name.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
  return quote ? Quoted(name) : name;
}

std::string EntryValue(const std::vector<std::string>& elements) {
  std::string text;
  if (elements.size() == 1) {
    text = elements.front();
  } else {
    for (const std::string& element : elements) text += element + kElementEnd;
  }
  const bool quote =
      HasLineBreak(text) || BlankAtAnEnd(text) || (!text.empty() && text.front() == '"');
  return quote ? Quoted(text) : text;
}

// A key path: "/" and names, none of them empty.
bool IsKeyPath(const std::string& name) {
  return name.size() > 1 && name.front() == '/' && name.back() != '/' &&
         name.find("//") == std::string::npos;
}

}  // namespace

std::string IniText(const KeyValues& keys) {
  std::string text;
  for (const auto& [path, values] : keys) {
    if (!text.empty()) text += '\n';
    text += "[" + GroupName(path) + "]\n";
    for (const auto& [name, elements] : values) {
      text += EntryName(name) + "=" + EntryValue(elements) + "\n";
    }
  }
  return text;
}

void CheckKeyGroups(const std::string& text) {
  size_t start =
      text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0 ? kByteOrderMark.size() : 0;
  bool inGroup = false;
  for (size_t number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line[first] != '[') {
      if (!inGroup) throw ToolError(where + "an entry before the first group belongs to no key");
      continue;
    }
    // The name is every byte between the first '[' and the last ']'; a quoted one starts and ends
    // with '"', and the store writes no escape for '/'.
    std::string name = line.substr(first + 1, line.rfind(']') - first - 1);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      name = name.substr(1, name.size() - 2);
    }
    if (!IsKeyPath(name)) {
      throw ToolError(where + "the group [" + name + "] does not name a key (a path such as /A/B)");
    }
    inGroup = true;
  }
}

}  // namespace qelreg
