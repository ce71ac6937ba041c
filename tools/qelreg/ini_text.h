// The store's INI text as qelreg exports it, and the check an INI file passes before import.
#pragma once

#include <string>

#include "output.h"

namespace qelreg {

// Keys with their values in the store's own format, so that import (or a store) reads them back
// as they are: one group per key, a list value as its elements each followed by 0x1B, and names
// and values that would not read back raw written as quoted tokens.
std::string IniText(const KeyValues& keys);

// Throws ToolError, naming the line, when a group of the INI text does not name a key (a path
// such as /A/B) or an entry stands before the first group: the library would pass over both, and
// an import must not drop anything silently.
void CheckKeyGroups(const std::string& text);

}  // namespace qelreg
