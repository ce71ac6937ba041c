// The plain tree the generated store checks compare a store with: keys by path, each holding
// named lists, and the path relations the models need.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace tree_model {

using List = std::vector<std::string>;
using Values = std::map<std::string, List>;
using Tree = std::map<std::string, Values>;

inline std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
inline std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
// Whether `path` is `root` or lies below it.
inline bool InSubtree(const std::string& path, const std::string& root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}
inline bool Holds(const List& list, const std::string& element) {
  return std::find(list.begin(), list.end(), element) != list.end();
}

}  // namespace tree_model
