// The rules of the selector language of subkey searches, tried in their order.
#include "qel_subkey_selector.h"

#include <vector>

#include "os_tokenizer.h"

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Rule 2's test: the filter "(repositoryname=NAME)" tokenized at "=" gives "NAME)" second.
bool RepositoryNameSelects(const std::string& filter, const std::string& value) {
  os_tokenizer tokenizer;
  tokenizer.separators("=");
  const std::vector<std::string> pieces = tokenizer.tokenize(filter);
  return pieces.size() >= 2 && pieces[1] == value + ")";
}

}  // namespace

bool SubkeySelected(const std::string& filter, const std::string& name, const Ini& store) {
  const std::string* repository_name = nullptr;
  // Rule 2 alone reads the entries.
  if (Contains(filter, "repositoryname")) {
    const IniEntryMap* entries = store.GetGroupProperty(name);
    if (entries != nullptr) {
      const auto entry = entries->find("repositoryname");
      if (entry != entries->end()) repository_name = &entry->second;
    }
  }
  return SubkeySelected(filter, name, repository_name);
}

bool SubkeySelected(const std::string& filter, const std::string& name,
                    const std::string* repository_name) {
  static const std::string kWords[] = {"d_rep", "dpc_rep", "dsr_rep"};
  static const std::string kEveryKey = "(key=*)";
  static const std::string kComponentList = "/ZOR_Software/qel4ds/Config/component_info";
  if (filter == kEveryKey && name != kComponentList) return true;
  const bool names_repository = Contains(filter, "repositoryname");
  if (names_repository && repository_name != nullptr) {
    return RepositoryNameSelects(filter, *repository_name);
  }
  bool star_in_filter = false;
  bool word_in_name = false;
  bool variant_in_name = false;
  for (const std::string& word : kWords) {
    const bool star = Contains(filter, word + "*");
    const bool word_here = Contains(name, word);
    const bool variant = Contains(name, word + "_default") || Contains(name, word + "_common");
    if (star && word_here && !variant) return true;
    star_in_filter = star_in_filter || star;
    word_in_name = word_in_name || word_here;
    variant_in_name = variant_in_name || variant;
  }
  if (Contains(filter, "external") && word_in_name && !variant_in_name) return true;
  return !star_in_filter && !names_repository && variant_in_name;
}
