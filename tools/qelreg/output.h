// Printing qelreg's results, as plain text for people or as JSON for programs.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace qelreg {

// A JSON string literal for `text`: quotes, backslashes and control bytes escaped; UTF-8 passes
// through as it is, and a byte that is not part of UTF-8 is written "\u00XX" (the character of
// its number, as Latin-1 reads it), so that the JSON is always valid.
std::string JsonString(const std::string& text);
// A JSON array of strings.
std::string JsonArray(const std::vector<std::string>& items);

// Named values in the order given: each name with the elements of its value.
using NamedValues = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Keys, each path with its values, in the store's order.
using KeyValues = std::vector<std::pair<std::string, NamedValues>>;

class Output {
 public:
  Output(std::ostream& out, bool json) : out_(out), json_(json) {}

  bool Json() const { return json_; }
  // A list: one item per line, or one JSON array.
  void List(const std::vector<std::string>& items);
  // Values: "name: element" per element (a name alone for an empty value), or one JSON object
  // mapping each name to the array of its elements.
  void Values(const NamedValues& values);
  // Keys with their values: each path, then its values as Values prints them, indented by two
  // spaces; or one JSON object mapping each path to the object of its values.
  void Keys(const KeyValues& keys);
  // Text written as it is, whatever the format (an export in the store's own format).
  void Text(const std::string& text);
  // A summary: `text` on a line for people, or a JSON object of the counts.
  void Counts(const std::string& text, const std::vector<std::pair<std::string, long>>& counts);
  // Fields: "name: text" per field, or one JSON object of strings.
  void Fields(const std::vector<std::pair<std::string, std::string>>& fields);
  // A JSON object mapping each name to a string, nested under `field` next to the given fields.
  void FieldsWithMap(const std::vector<std::pair<std::string, std::string>>& fields,
                     const std::string& field, const std::map<std::string, std::string>& map);

 private:
  // "name: element" per element, a name alone for an empty value, each line after `indent`.
  void WriteValues(const NamedValues& values, const std::string& indent);

  std::ostream& out_;
  bool json_;
};

}  // namespace qelreg
