// The message catalogue: one text per message id, each beginning with its id; %1, %2, ... mark
// where the arguments go.
#include "message.h"

#include <map>

namespace {

const std::map<std::string, std::string>& Catalogue() {
  static const std::map<std::string, std::string> texts = {
      {"ZORKVA0551I", "ZORKVA0551I User %1 logs in to the configuration store %2 on %3 at %4."},
      {"ZORKVA0532E", "ZORKVA0532E The login argument %1 is missing."},
      {"ZORKVA0533E",
       "ZORKVA0533E The configuration store of user %1 at %2 cannot be opened (%3 %4)."},
      {"ZORKVA0601E", "ZORKVA0601E The key does not exist."},
      {"ZORKVA0602E", "ZORKVA0602E The subkey or list element already exists."},
      {"ZORKVA0603E", "ZORKVA0603E The key holds no value "},
      {"ZORKVA0607E", "ZORKVA0607E The key path or subkey name is invalid."},
      {"ZORKVA0610E", "ZORKVA0610E The iterator is past its end."},
      {"ZORKVA0611E",
       "ZORKVA0611E The value %1 cannot be stored: its element %2 holds the byte 0x1B, which "
       "separates list elements."},
      {"ZORKVA0612E",
       "ZORKVA0612E The value %1 of key %2 holds bytes after its last separator 0x1B, which no "
       "element keeps: it reads as the elements before them, and its elements cannot be added or "
       "removed one by one. Set the whole value."},
      {"ZORKVA1112E",
       "ZORKVA1112E The unicode mode of the configuration store differs from the process's."},
      {"ZORKVA1113E",
       "ZORKVA1113E The product version of the configuration store is not supported by this "
       "release."},
      {"ZORKVA1114E",
       "ZORKVA1114E The configuration key of the store or its values cannot be read."},
  };
  return texts;
}

}  // namespace

Message::Message(const std::string& base) : base_(base) {}

Message& Message::operator[](const std::string& id) {
  id_ = id;
  return *this;
}

Message& Message::operator<<(const std::string& argument) {
  arguments_.push_back(argument);
  return *this;
}

Message::operator std::string&() {
  const auto found = Catalogue().find(id_);
  const std::string& pattern = found != Catalogue().end() ? found->second : id_;
  text_ = base_;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (pattern[i] == '%' && next >= '1' && next <= '9') {
      const size_t index = static_cast<size_t>(next - '1');
      if (index < arguments_.size()) text_ += arguments_[index];
      ++i;
    } else {
      text_ += pattern[i];
    }
  }
  return text_;
}
