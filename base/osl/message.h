// Message: builds the text of a catalogued message from its id and arguments.
// Thread safety: a Message is a value; the catalogue is constant.
#pragma once

#include <string>
#include <vector>

class Message {
 public:
  // `base` is text placed before the catalogue text (the library passes "").
  explicit Message(const std::string& base);

  // Selects the message id. An id not in the catalogue gives the id itself as its text.
  Message& operator[](const std::string& id);
  // Adds the next argument; arguments fill the text's placeholders in order.
  Message& operator<<(const std::string& argument);
  // The finished text: base, then the catalogue text (which begins with the id) with its
  // arguments in place.
  operator std::string&();

 private:
  std::string base_;
  std::string id_;
  std::vector<std::string> arguments_;
  std::string text_;
};
