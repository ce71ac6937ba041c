// Plain-text and JSON printing of qelreg's results.
#include "output.h"

#include <cstdio>

namespace qelreg {

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          json += escaped;
        } else {
          json += c;
        }
    }
  }
  return json + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string json = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) json += ",";
    json += JsonString(items[i]);
  }
  return json + "]";
}

namespace {

// A JSON object of (name, value) pairs in their order, each value written by `to_json`.
template <class Pairs, class ToJson>
std::string JsonObject(const Pairs& pairs, ToJson to_json) {
  std::string json = "{";
  bool first = true;
  for (const auto& [name, value] : pairs) {
    if (!first) json += ",";
    first = false;
    json += JsonString(name) + ":" + to_json(value);
  }
  return json + "}";
}

}  // namespace

void Output::List(const std::vector<std::string>& items) {
  if (json_) {
    out_ << JsonArray(items) << '\n';
    return;
  }
  for (const std::string& item : items) out_ << item << '\n';
}

void Output::Values(const NamedValues& values) {
  if (json_) {
    out_ << JsonObject(values, JsonArray) << '\n';
    return;
  }
  WriteValues(values, "");
}

void Output::Keys(const KeyValues& keys) {
  if (json_) {
    out_ << JsonObject(keys, [](const NamedValues& values) {
      return JsonObject(values, JsonArray);
    }) << '\n';
    return;
  }
  for (const auto& [path, values] : keys) {
    out_ << path << '\n';
    WriteValues(values, "  ");
  }
}

void Output::Text(const std::string& text) { out_ << text; }

void Output::Counts(const std::string& text,
                    const std::vector<std::pair<std::string, long>>& counts) {
  if (!json_) {
    out_ << text << '\n';
    return;
  }
  out_ << JsonObject(counts, [](long count) { return std::to_string(count); }) << '\n';
}

void Output::WriteValues(const NamedValues& values, const std::string& indent) {
  for (const auto& [name, elements] : values) {
    if (elements.empty()) out_ << indent << name << ":\n";
    for (const std::string& element : elements) {
      out_ << indent << name << ": " << element << '\n';
    }
  }
}

void Output::Fields(const std::vector<std::pair<std::string, std::string>>& fields) {
  if (json_) {
    out_ << JsonObject(fields, JsonString) << '\n';
    return;
  }
  for (const auto& [name, text] : fields) out_ << name << ": " << text << '\n';
}

void Output::FieldsWithMap(const std::vector<std::pair<std::string, std::string>>& fields,
                           const std::string& field,
                           const std::map<std::string, std::string>& map) {
  if (!json_) {
    Fields(fields);
    for (const auto& [name, text] : map) out_ << name << ": " << text << '\n';
    return;
  }
  std::vector<std::pair<std::string, std::string>> members;
  for (const auto& [name, text] : fields) members.emplace_back(name, JsonString(text));
  members.emplace_back(field, JsonObject(map, JsonString));
  out_ << JsonObject(members, [](const std::string& json) { return json; }) << '\n';
}

}  // namespace qelreg
