// UTF-8 and UTF-16 conversions and FormatMessage for the store's Windows sources.
#include "windows_text.h"

#include <windows.h>

#include <algorithm>

bool WidenUtf8(const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return false;
  wide->resize(static_cast<size_t>(size));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), &(*wide)[0], size) == size;
}

std::string NarrowToUtf8(const wchar_t* wide, size_t length) {
  if (length == 0) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  std::string text(static_cast<size_t>(std::max(size, 0)), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &text[0], size, nullptr,
                          nullptr);
  }
  return text;
}

std::string WindowsErrorWords(unsigned long error, const wchar_t* module) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  wchar_t* text = nullptr;
  const DWORD length =
      ::FormatMessageW(flags, module != nullptr ? ::GetModuleHandleW(module) : nullptr, error, 0,
                       reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = length > 0 ? NarrowToUtf8(text, length) : "";
  if (text != nullptr) ::LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return words;
}
