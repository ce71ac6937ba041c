// The case-insensitive order of every entry map, and the bases of entry edits and group views.
#include "ini_types.h"

bool StrCmpInSensitive::operator()(const std::string& a, const std::string& b) const {
  return QELNoCaseString::CompareText(a, b) < 0;
}

IniEntryEdit::~IniEntryEdit() = default;

IniGroupView::~IniGroupView() = default;
