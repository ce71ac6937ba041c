// The store's INI text as qelreg exports it, and the check an INI file passes before import.
#pragma once

#include <string>

#include "output.h"

namespace qelreg {

// Keys with their values in the store's own format, so that import (or a store) reads them back
// as they are: one group per key, a list value as its elements each followed by 0x1B, and names
// and values quoted exactly as the store quotes them.
std::string IniText(const KeyValues& keys);

// Throws ToolError, naming the line, when a group of the INI text does not name a key qelreg can
// address (a path such as /A/B: no empty, "." or ".." name, no NUL byte), an entry stands before
// the first group or a value name holds a NUL byte: the library would pass over some, and the
// others no command could reach; an import must not drop or hide anything.
void CheckKeyGroups(const std::string& text);

}  // namespace qelreg
