// QELStatus: the result of every backend operation.
#pragma once

#include <cstdint>
#include <string>

struct QELStatus {
  int32_t code = 0;  // 0 on success
  std::string
      message;  // empty on success; a message id or a text beginning with its catalogue text

  QELStatus() = default;
  QELStatus(int32_t status_code, std::string text) : code(status_code), message(std::move(text)) {}
  bool Ok() const { return code == 0; }
};
