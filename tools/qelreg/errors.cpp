// Formatting qelreg's failures: the library's error text made one line with its context around it.
#include "errors.h"

#include <cctype>
#include <map>

#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/qel_log.h>

#include "output.h"
#include "store.h"

namespace qelreg {
namespace {

// The library's codes for a missing key and a missing value, and the id of a failed login (whose
// code may be 158 too: a missing store file).
constexpr long kNoSuchKey = static_cast<long>(zor::qel::ErrorCode::kNoKey);
constexpr long kNoSuchValue = static_cast<long>(zor::qel::ErrorCode::kNoValue);
const char* const kLoginFailureId = "ZORKVA0533E";

// The message ids the library throws without a text, spelled out as its catalogue has them.
const std::map<std::string, std::string>& BareIdTexts() {
  static const std::map<std::string, std::string> texts = {
      {"ZORKVA0601E", "The key does not exist."},
      {"ZORKVA0602E", "The subkey or list element already exists."},
      {"ZORKVA0607E", "The key path or subkey name is invalid."},
      {"ZORKVA0610E", "The iterator is past its end."},
  };
  return texts;
}

// The leading message id of a library text ("ZORKVA0533E"), or "".
std::string MessageId(const std::string& text) {
  const size_t length = 11;
  if (text.size() < length) return "";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool fits = (i < 6 || i == 10) ? std::isupper(c) != 0 : std::isdigit(c) != 0;
    if (!fits) return "";
  }
  if (text.size() > length && text[length] != ' ') return "";
  return text.substr(0, length);
}

// Line breaks and tabs become spaces, runs of spaces one space, and the ends are trimmed.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
    line += c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
  std::string joined;
  for (const std::string& item : items) joined += (joined.empty() ? "" : separator) + item;
  return joined;
}

// A failed login's text names the user, the file, a time stamp and the code before its cause in
// <...>: the message keeps the id and tells the cause (the context names the store, or the file
// an import reads).
std::string LoginMessage(const std::string& text) {
  const std::string id = MessageId(text);
  const size_t open = text.find("] <");
  if (id.empty() || open == std::string::npos || text.back() != '>') return "";
  return id + " " + OneLine(text.substr(open + 3, text.size() - open - 4));
}

void AddJsonMember(std::string& json, const std::string& name, const std::string& text) {
  json += "," + JsonString(name) + ":" + (text.empty() ? "null" : JsonString(text));
}

}  // namespace

std::string StoreName(const StoreOptions& options) {
  if (!options.remote.empty()) return zor::qel::MaskCredentials(options.remote);
  return options.file == "-" ? "standard input" : zor::qel::MaskCredentials(options.file);
}

Failure FromLibrary(const QELError& error, bool inCommand) {
  const std::string& text = error.What();
  Failure failure;
  failure.code = error.Code();
  const bool login = MessageId(text) == kLoginFailureId;
  const bool missing = error.Code() == kNoSuchKey || error.Code() == kNoSuchValue;
  if (inCommand && missing && !login) failure.status = kExitNotFound;
  if (login) failure.message = LoginMessage(text);
  if (!failure.message.empty()) return failure;

  std::string message = OneLine(text);
  // The code is printed once, after the message.
  const std::string code = " [" + std::to_string(error.Code()) + "]";
  for (size_t at = message.find(code); at != std::string::npos; at = message.find(code)) {
    message.erase(at, code.size());
  }
  // The library keeps a failed write's changes in memory for a program that goes on; qelreg
  // exits and drops them.
  const std::string kept = "; the changes are kept in memory";
  for (size_t at = message.find(kept); at != std::string::npos; at = message.find(kept)) {
    message.erase(at, kept.size());
  }
  const auto bare = BareIdTexts().find(message);
  if (bare != BareIdTexts().end()) message += " " + bare->second;
  failure.message = message;
  return failure;
}

void Report(const Failure& failure, bool json, std::ostream& err) {
  const Where& where = failure.where;
  if (json) {
    std::string object = "{\"message\":" + JsonString(failure.message);
    object += ",\"code\":" + (failure.code ? std::to_string(*failure.code) : "null");
    object += ",\"exit\":" + std::to_string(failure.status);
    AddJsonMember(object, "command", where.command);
    AddJsonMember(object, "store", failure.store);
    AddJsonMember(object, "file", where.file);
    AddJsonMember(object, "key", where.key);
    AddJsonMember(object, "value", where.value);
    err << "{\"error\":" << object << "}}\n";  // closes the member object and the outer one
    return;
  }
  std::vector<std::string> context;
  if (!failure.store.empty()) context.push_back("store " + failure.store);
  if (!where.file.empty()) context.push_back("file " + where.file);
  if (!where.key.empty()) context.push_back("key " + where.key);
  if (!where.value.empty()) context.push_back("value " + where.value);
  err << "qelreg: ";
  if (!where.command.empty()) err << where.command << ": ";
  if (!context.empty()) err << Join(context, ", ") << ": ";
  err << failure.message;
  if (failure.code) err << " (code " << *failure.code << ")";
  err << '\n';
}

}  // namespace qelreg
