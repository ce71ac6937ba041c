// Reading and writing the quoted tokens of the INI format, and splitting entry lines.
#include "ini_syntax.h"

namespace ini_syntax {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

namespace {

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlank(std::string_view text) {
  return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out.push_back(c);
    }
  }
  out.push_back('"');
}

}  // namespace

const char* ReadQuoted(const char* p, const char* end, std::string* out) {
  out->clear();
  for (++p; p < end; ++p) {
    char c = *p;
    if (c == '"') return p + 1;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++p == end) return nullptr;
    switch (*p) {
      case '\\':
      case '"':
        out->push_back(*p);
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x': {
        if (end - p < 3) return nullptr;
        int high = HexValue(p[1]);
        int low = HexValue(p[2]);
        if (high < 0 || low < 0) return nullptr;
        out->push_back(static_cast<char>(high * 16 + low));
        p += 2;
        break;
      }
      default:
        return nullptr;
    }
  }
  return nullptr;
}

std::string DecodeWhole(const char* begin, const char* end) {
  std::string decoded;
  if (begin < end && *begin == '"' && ReadQuoted(begin, end, &decoded) == end) return decoded;
  return std::string(begin, end);
}

void SplitEntry(const char* begin, const char* end, std::string* name, std::string* value,
                const char** value_begin) {
  const char* p = SkipBlanks(begin, end);
  const char* equals = nullptr;
  if (*p == '"') {
    const char* after = ReadQuoted(p, end, name);
    if (after != nullptr) {
      after = SkipBlanks(after, end);
      if (after < end && *after == '=') equals = after;
    }
  }
  if (equals == nullptr) {
    equals = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
    name->assign(p, TrimBack(p, equals));
  }
  const char* value_start = SkipBlanks(equals + 1, end);
  if (value != nullptr) *value = DecodeWhole(value_start, TrimBack(value_start, end));
  if (value_begin != nullptr) *value_begin = value_start;
}

bool GroupNeedsQuotes(std::string_view name) {
  return (!name.empty() && name.front() == '"') || HasLineBreak(name);
}

bool EntryNameNeedsQuotes(std::string_view name) {
  if (name.empty()) return false;
  char first = name.front();
  return first == '"' || first == '[' || first == ';' || first == '#' || HasOuterBlank(name) ||
         name.find_first_of("=\r\n") != std::string_view::npos ||
         name.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

bool ValueNeedsQuotes(std::string_view value) {
  return (!value.empty() && value.front() == '"') || HasOuterBlank(value) || HasLineBreak(value);
}

void AppendToken(std::string& out, std::string_view text, bool quoted) {
  if (quoted) {
    AppendQuoted(out, text);
  } else {
    out.append(text.data(), text.size());
  }
}

size_t TokenSize(std::string_view text, bool quoted) {
  if (!quoted) return text.size();
  size_t size = text.size() + 2;
  for (char c : text) size += c == '\\' || c == '"' || c == '\n' || c == '\r' || c == '\t';
  return size;
}

}  // namespace ini_syntax
