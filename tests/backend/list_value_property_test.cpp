// Generated entry texts (any bytes, 0x1B anywhere, raw or as a quoted token) under every value
// operation, each flushed to a real file: no element and no byte of the stored text is lost
// unless the operation meant it, and a refused operation changes neither the file nor the key.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/qel_log.h>
#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "backup_ini.h"
#include "qel_ini_key.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

constexpr long kUnstorable = static_cast<long>(zor::qel::ErrorCode::kUnstorableValue);
constexpr long kAlreadyThere = static_cast<long>(zor::qel::ErrorCode::kAlreadyExists);

enum class Operation { kRead, kSet, kAdd, kDeleteElements, kDeleteWhole };

void showValue(Operation operation, std::ostream& out) {
  static const char* const kNames[] = {"read", "SetValue", "AddValue", "DeleteValue elements",
                                       "DeleteValue whole"};
  out << kNames[static_cast<int>(operation)];
}

// Entry texts: any bytes that matter to the list encoding and the quoting (letters, the
// separator, a blank), or a list as written (each element followed by 0x1B) and then a tail that
// a hand edit may have left after the last separator.
rc::Gen<std::string> EntryText() {
  return rc::gen::weightedOneOf<std::string>(
      {{1, rc::gen::container<std::string>(rc::gen::element('a', 'b', '\x1b', ' '))},
       {2, rc::gen::map(rc::gen::pair(rc::gen::container<std::vector<std::string>>(
                                          rc::gen::element<std::string>("a", "b", "ab", "")),
                                      rc::gen::element<std::string>("", "", "c", "b", "c d")),
                        [](const std::pair<std::vector<std::string>, std::string>& parts) {
                          std::string text;
                          for (const std::string& element : parts.first) text += element + '\x1b';
                          return text + parts.second;
                        })}});
}

// Elements a caller passes: up to three short texts, now and then one holding the separator.
rc::Gen<std::vector<std::string>> Elements() {
  return rc::gen::mapcat(rc::gen::inRange<size_t>(0, 4), [](size_t count) {
    return rc::gen::container<std::vector<std::string>>(
        count, rc::gen::weightedElement<std::string>(
                   {{4, "a"}, {4, "b"}, {4, "c"}, {2, "ab"}, {1, ""}, {1, "a\033b"}}));
  });
}

// The entry line's value as a quoted token, every byte but letters written as \xHH.
std::string Quoted(const std::string& text) {
  std::string token = "\"";
  for (const char c : text) {
    if (c >= 'a' && c <= 'z') {
      token += c;
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
      token += escape;
    }
  }
  return token + "\"";
}

// The stored text of /K's entry `name` as a fresh load of the file reads it, "<none>" if absent.
std::string StoredText(const std::string& path, const std::string& name) {
  BackupIni ini(path);
  const IniEntryMap* entries = ini.GetGroupProperty("/K");
  if (entries == nullptr) return "<no group>";
  const auto found = entries->find(name);
  return found == entries->end() ? "<none>" : found->second;
}

std::vector<std::string> ElementsOf(const std::string& text) {
  return DecodeValue(text).Elements();
}

// A value of one empty element and the empty value are one value (stored alike).
std::vector<std::string> Normal(const std::vector<std::string>& elements) {
  return elements == std::vector<std::string>{""} ? std::vector<std::string>() : elements;
}

bool Contains(const std::vector<std::string>& list, const std::string& wanted) {
  for (const std::string& element : list) {
    if (element == wanted) return true;
  }
  return false;
}

RC_GTEST_PROP(ListValueProperty, NoElementOrByteIsLostUnlessMeant, ()) {
  const std::string text = *EntryText();
  const bool raw_possible = text.empty() || (text.front() != ' ' && text.back() != ' ');
  const bool quoted = !raw_possible || *rc::gen::arbitrary<bool>();
  // Element changes, which must keep or refuse what they do not remove, come most often.
  const auto operation = *rc::gen::weightedElement<Operation>({{1, Operation::kRead},
                                                               {1, Operation::kSet},
                                                               {3, Operation::kAdd},
                                                               {3, Operation::kDeleteElements},
                                                               {1, Operation::kDeleteWhole}});
  std::vector<std::string> given = *Elements();
  if (operation == Operation::kDeleteElements && given.empty()) given.push_back("a");

  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  const std::string neighbour = "w=x\x1by\x1b\n";
  WriteWholeFile(path, "[/K]\nv=" + (quoted ? Quoted(text) : text) + "\n" + neighbour);
  const std::string file_before = ReadWholeFile(path);
  RC_ASSERT(StoredText(path, "v") == text);

  LogCapture log;
  QELConnection connection(QELConnection::INI);
  connection.Login(path, 0, "tester", "");
  QELRBKey key("/K", connection);
  // Loading the key names the value in an error record exactly when its text loses bytes.
  size_t warnings = 0;
  for (const zor::qel::LogRecord& record : log.records) {
    if (record.severity == 3 && record.text.find("value v of key /K") != std::string::npos) {
      ++warnings;
    }
  }
  RC_ASSERT(warnings == (IsTruncatedText(text) ? 1u : 0u));
  const std::vector<std::string> before = key.GetValue("v").Elements();
  RC_ASSERT(before == ElementsOf(text));

  bool refused = false;
  try {
    switch (operation) {
      case Operation::kRead:
        key.GetValue("v");
        break;
      case Operation::kSet:
        key.SetValue("v", QELRBValue(given));
        break;
      case Operation::kAdd:
        key.AddValue("v", QELRBValue(given));
        break;
      case Operation::kDeleteElements:
        key.DeleteValue("v", QELRBValue(given));
        break;
      case Operation::kDeleteWhole:
        key.DeleteValue("v");
        break;
    }
  } catch (const QELError& error) {
    refused = true;
    RC_ASSERT(error.Code() == kUnstorable || error.Code() == kAlreadyThere);
  }
  const std::string after = StoredText(path, "v");
  RC_ASSERT(StoredText(path, "w") == "x\x1by\x1b");

  if (refused || operation == Operation::kRead) {
    RC_ASSERT(ReadWholeFile(path) == file_before);
    RC_ASSERT(key.GetValue("v").Elements() == before);
    return;
  }
  // The key's memory and the file agree.
  if (after == "<none>") {
    RC_ASSERT(!key.HasValue("v"));
  } else {
    RC_ASSERT(Normal(key.GetValue("v").Elements()) == Normal(ElementsOf(after)));
  }
  const std::vector<std::string> now = ElementsOf(after);
  switch (operation) {
    case Operation::kSet:
      RC_ASSERT(Normal(now) == Normal(QELRBValue(given).Elements()));
      break;
    case Operation::kDeleteWhole:
      RC_ASSERT(after == "<none>");
      break;
    case Operation::kAdd:
      // An element change keeps every byte: the text was wholly its elements.
      RC_ASSERT(!IsTruncatedText(text));
      for (const std::string& element : Normal(before)) RC_ASSERT(Contains(now, element));
      for (const std::string& element : now) {
        RC_ASSERT(Contains(before, element) || Contains(given, element));
      }
      break;
    case Operation::kDeleteElements: {
      RC_ASSERT(!IsTruncatedText(text));
      std::vector<std::string> kept;
      for (const std::string& element : before) {
        if (!Contains(given, element)) kept.push_back(element);
      }
      RC_ASSERT(Normal(now) == Normal(kept));
      break;
    }
    case Operation::kRead:
      break;
  }
}

}  // namespace
