// Helper module: the tokenizer splits at every separator and keeps empty pieces.
#include "os_tokenizer.h"

void os_tokenizer::separators(const std::string& chars) { separators_ = chars; }

std::vector<std::string> os_tokenizer::tokenize(const std::string& text) const {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t end = text.find_first_of(separators_, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}
