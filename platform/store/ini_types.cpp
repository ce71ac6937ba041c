// The case-insensitive comparisons that order every entry map, and the bases of entry edits and
// group views.
#include "ini_types.h"

namespace {

// ASCII only, whatever the locale: names fold alike in every process, and without a call per byte.
inline int FoldCase(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return static_cast<unsigned>(byte - 'A') < 26u ? byte + ('a' - 'A') : byte;
}

}  // namespace

int cmp_nocase(const std::string& a, const std::string& b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    const int difference = FoldCase(a[i]) - FoldCase(b[i]);
    if (difference != 0) return difference < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool StrCmpInSensitive::operator()(const std::string& a, const std::string& b) const {
  return cmp_nocase(a, b) < 0;
}

IniEntryEdit::~IniEntryEdit() = default;

IniGroupView::~IniGroupView() = default;
