// QELLayerKey: the backend key over a stack of stores: reads merge the layers, writes go to the
// top layer, and deleting what a lower layer holds leaves a mask there (qel_layer_stack.h).
// Thread safety: as QELIniKey.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "qel_ini_key.h"
#include "qel_key.h"
#include "qel_layer_stack.h"

class QELLayerKey : public QELKey {
 public:
  // The root key of the stack `connection` logged in to, with its transaction flag as it is now.
  // REQUIRES: connection.GetLayers() is not null.
  explicit QELLayerKey(const QELIniConnection& connection);
  // A key on `path`; throws QELError as QELIniKey's constructor does (158, 164).
  QELLayerKey(const std::string& path, const QELIniConnection& connection);
  QELLayerKey(const QELLayerKey& other) = default;
  ~QELLayerKey() override;

  QELKey* Clone() const override;
  QELStatus ChangeKey(const std::string& path) override;
  QELStatus CommitSuicide() override;
  QELStatus SetValue(QELValueItem value) override;
  QELStatus AddValue(const QELValueItem& value) override;
  QELStatus SetValues(const QELValueMap& values) override;
  QELStatus GetValue(QELValueItem& value) override;
  const QELRBValue* FindValue(std::string_view name) override;
  QELStatus GetValues(QELValueMapPointer& values) override;
  QELStatus HasValue(const QELNoCaseString& name, bool& has) override;
  QELStatus DeleteValue(const QELValueItem& value) override;
  QELStatus DeleteValues(const QELValueMap& values) override;
  QELStatus GetTruncatedValues(std::list<std::string>& names) override;
  QELStatus SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                         uint32_t& count) override;
  QELStatus CreateSubkey(const std::string& name) override;
  QELStatus DeleteSubkey(const std::string& name, bool flag) override;
  QELStatus GetSubkey(const std::string& name, QELKey& target) override;
  QELStatus HasSubkey(const std::string& name, bool& has) override;
  QELStatus SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                         bool recursive, const std::list<std::string>& exclusions,
                         uint32_t& count) override;
  QELStatus IsEmpty(bool& empty) override;

  const QELLayerStack& Stack() const { return *stack; }

 private:
  // Loads the values the stack shows for the key's path.
  void LoadValues();
  // Reloads them when a layer was read again since they were loaded.
  void FollowStore();
  // An element change of a value: the top layer's own list edit when the top holds the value,
  // else an edit of the lower layer's list that takes it over into the top.
  QELStatus EditElements(const QELValueItem& value, bool add);
  // Erases the subtree at `root` from the top layer and masks what the lower layers hold of it.
  void RemoveSubtree(const std::string& root);
  // Writes the top layer back unless the key was made in a transaction.
  void Flush();

  std::shared_ptr<const QELLayerStack> stack;
  bool inTransaction;
  uint64_t loadedAt = 0;  // the stack's MergeSum when the values were loaded
};
