// Base64 as HTTP basic authentication and etcd's JSON gateway write it ("+/", padded).
// Thread safety: stateless.
#pragma once

#include <string>

std::string Base64(const std::string& bytes);
// Decodes `text` into `out`; false when it is not such base64.
bool FromBase64(const std::string& text, std::string* out);
