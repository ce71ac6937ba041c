// The INI file format, line by line: what kind of line a text is, how names and values are
// quoted, and how an entry line splits into its name and value.
// Thread safety: plain functions without state.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

// The file format
// ---------------
// A file is a sequence of lines, each ended by LF or CRLF (the last one may lack an end); the
// end of each line is kept as found, and new lines take the end of the file's first line. A UTF-8
// byte order mark before the first line is skipped and written back. Every line is one of:
//   blank    nothing but spaces and tabs;
//   comment  the first byte after leading spaces and tabs is ';' or '#';
//   header   '[' name ']' with optional spaces and tabs around: the name is every byte between
//            the first '[' and the last ']' of the line, kept as it is (blanks included);
//   entry    name '=' value: the name is the text before the first '=', the value the text after
//            it, each without the spaces and tabs around it.
// Anything else is a syntax error that rejects the whole file. Entries before the first header
// belong to the group "" (as do those under a "[]" header).
//
// Quoting: a group name, entry name or value that would not read back as written raw is written
// as one quoted token: '"', the bytes with the escapes \\ \" \n \r \t, then '"'. Reading also
// accepts \xHH (two hex digits) for any byte. Quoted are exactly:
//   group names that contain CR or LF or begin with '"';
//   entry names that contain '=', CR or LF, begin or end with a space or tab, or begin with
//   '"', '[', ';', '#' or a byte order mark;
//   values that contain CR or LF, begin or end with a space or tab, or begin with '"'.
// Every other byte (0x00, 0x1B, quotes and backslashes inside the text, ...) is written raw.
// When reading, a header name or a value that begins with '"' and is exactly one well-formed
// token is decoded, and so is an entry name that is one token followed only by blanks before its
// '='; any other text is taken raw, so a hand-written value like "C:\dir" keeps its quotes.
namespace ini_syntax {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

inline const char* TrimBack(const char* begin, const char* end) {
  while (end > begin && IsBlank(end[-1])) --end;
  return end;
}

// The end of a line's content: before its LF, and before a CR that precedes it (or ends the
// buffer).
inline const char* ContentEnd(const char* begin, const char* line_end) {
  return (line_end > begin && line_end[-1] == '\r') ? line_end - 1 : line_end;
}

enum class LineKind { kBlank, kComment, kHeader, kEntry, kBadHeader, kBad };

// Classifies the content [begin, end) of one line (without its line end).
inline LineKind Classify(const char* begin, const char* end) {
  const char* p = SkipBlanks(begin, end);
  if (p == end) return LineKind::kBlank;
  switch (*p) {
    case ';':
    case '#':
      return LineKind::kComment;
    case '[': {
      const char* last = TrimBack(p, end);
      return (last - p >= 2 && last[-1] == ']') ? LineKind::kHeader : LineKind::kBadHeader;
    }
    default:
      return std::memchr(p, '=', static_cast<size_t>(end - p)) != nullptr ? LineKind::kEntry
                                                                          : LineKind::kBad;
  }
}

// Calls `visit(content_begin, content_end, next_line)` for every line of [begin, end).
template <typename Visit>
void ForEachLine(const char* begin, const char* end, Visit&& visit) {
  while (begin < end) {
    const char* newline =
        static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(end - begin)));
    const char* next = newline != nullptr ? newline + 1 : end;
    const char* line_end = newline != nullptr ? newline : end;
    visit(begin, ContentEnd(begin, line_end), next);
    begin = next;
  }
}

// Calls `visit(content_begin, content_end)` for every entry line of [begin, end): the lines of a
// group's text that give its values.
template <typename Visit>
void ForEachEntryLine(const char* begin, const char* end, Visit&& visit) {
  ForEachLine(begin, end, [&](const char* line, const char* content_end, const char*) {
    if (Classify(line, content_end) == LineKind::kEntry) visit(line, content_end);
  });
}

// The value of a hexadecimal digit (either case), -1 for any other character.
int HexValue(char c);

// Reads the quoted token that starts at `p` (a '"'). Returns the byte after its closing quote,
// or null when the token is not well formed before `end`.
const char* ReadQuoted(const char* p, const char* end, std::string* out);

// A header name or a value: one quoted token spanning the whole text, else the raw text.
std::string DecodeWhole(const char* begin, const char* end);

// Splits the content [begin, end) of an entry line. `value_begin` receives where the value's
// text starts (after the '=' and its blanks); `value` and `value_begin` may be null.
void SplitEntry(const char* begin, const char* end, std::string* name, std::string* value,
                const char** value_begin);

bool GroupNeedsQuotes(std::string_view name);
bool EntryNameNeedsQuotes(std::string_view name);
bool ValueNeedsQuotes(std::string_view value);

// Appends `text` to `out`, as one quoted token when `quoted`.
void AppendToken(std::string& out, std::string_view text, bool quoted);
// The number of bytes AppendToken appends.
size_t TokenSize(std::string_view text, bool quoted);

}  // namespace ini_syntax
