// Text between the store, which speaks UTF-8, and the Windows API, which speaks UTF-16, and the
// system's own words for its error numbers.
#pragma once

#include <string>

// UTF-8 text in the wide form the API takes; false for bytes that are no UTF-8.
bool WidenUtf8(const std::string& text, std::wstring* wide);

// `length` wide characters from the API as UTF-8.
std::string NarrowToUtf8(const wchar_t* wide, size_t length);

// The system's words for the error number `error`, looked up first in the messages of the module
// named `module` if one is given; without the line end and full stop; "" if it has none.
std::string WindowsErrorWords(unsigned long error, const wchar_t* module = nullptr);
