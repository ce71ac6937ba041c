// Plain-text and JSON printing of qelreg's results.
#include "output.h"

#include <cstdio>

namespace qelreg {

namespace {

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), or 0 when there is none:
// no overlong form, no surrogate, nothing above U+10FFFF.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
  };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // UTF-8 as it is; a byte that is none stands for the character of its number.
      const size_t length = Utf8Length(text, at);
      if (length == 0) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        json += escaped;
      } else {
        json.append(text, at, length);
        at += length - 1;
      }
      continue;
    }
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
