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

void Output::List(const std::vector<std::string>& items) {
  if (json_) {
    out_ << JsonArray(items) << '\n';
    return;
  }
  for (const std::string& item : items) out_ << item << '\n';
}

void Output::Values(const NamedValues& values) {
  if (json_) {
    out_ << '{';
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out_ << ',';
      out_ << JsonString(values[i].first) << ':' << JsonArray(values[i].second);
    }
    out_ << "}\n";
    return;
  }
  for (const auto& [name, elements] : values) {
    if (elements.empty()) out_ << name << ":\n";
    for (const std::string& element : elements) out_ << name << ": " << element << '\n';
  }
}

void Output::Fields(const std::vector<std::pair<std::string, std::string>>& fields) {
  if (json_) {
    out_ << '{';
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) out_ << ',';
      out_ << JsonString(fields[i].first) << ':' << JsonString(fields[i].second);
    }
    out_ << "}\n";
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
  out_ << '{';
  for (const auto& [name, text] : fields)
    out_ << JsonString(name) << ':' << JsonString(text) << ',';
  out_ << JsonString(field) << ":{";
  bool first = true;
  for (const auto& [name, text] : map) {
    if (!first) out_ << ',';
    first = false;
    out_ << JsonString(name) << ':' << JsonString(text);
  }
  out_ << "}}\n";
}

}  // namespace qelreg
