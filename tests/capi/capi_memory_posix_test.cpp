// The C interface when memory runs out: the program's operator new (which serves the library
// linked into it) fails from the k-th allocation of a call on, for every k, and each call must
// return QEL_NO_MEMORY or QEL_FAILED, never throw or crash, leave the file as it was and the
// memory either as it was or as the call without failures leaves it. Under LeakSanitizer it also
// finds what a failed allocation leaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel.h>
#include "test_system.h"

namespace {
// Allocations left before the next one fails (negative: none fails), whether one failed, and
// what Arm() sets the count to.
long allocations_left = -1;
bool refused = false;
long armed_count = -1;
// Called by each call under test right before the C function it tests.
void Arm() {
  refused = false;
  allocations_left = armed_count;
}
}  // namespace

// GCC sees the replacement pair's malloc and free as mismatched with new and delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  if (allocations_left == 0) {
    refused = true;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) --allocations_left;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
// Every form of delete pairs with these, so that a sanitizer's own allocator never sees them.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

// What a call answered: its status and the store as the library then holds it.
struct Outcome {
  qel_status status;
  std::string state;
};

// The store's values under /M as one text, read with nothing failing.
std::string State(qel_connection* connection) {
  std::string text;
  qel_key* key = nullptr;
  if (qel_key_open(connection, "/M", &key, nullptr) != QEL_OK) return "no key";
  qel_list* names = nullptr;
  qel_key_value_names(key, "*", &names, nullptr);
  for (size_t i = 0; names != nullptr && i < names->count; ++i) {
    qel_list* value = nullptr;
    qel_key_get_value(key, names->items[i], &value, nullptr);
    text += std::string(names->items[i]) + "=";
    for (size_t e = 0; value != nullptr && e < value->count; ++e)
      text += std::string(value->items[e], value->lengths[e]) + ";";
    qel_free(value);
  }
  int present = 0;
  qel_key_has_subkey(key, "S", &present, nullptr);
  text += present ? " S" : "";
  qel_free(names);
  qel_key_free(key);
  return text;
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(CapiMemory, EveryFailedAllocationIsAStatusAndNoThirdState) {
  const std::string directory = MakeScratchDirectory("qel_capi_memory");
  const std::string path = directory + "/store.ini";
  const char* const elements[] = {"x", "y"};
  // Each call, on a fresh login to the same store, returns its status.
  const std::vector<std::pair<const char*, std::function<qel_status(qel_connection*)>>> calls = {
      {"open",
       [](qel_connection* c) {
         qel_key* key = nullptr;
         Arm();
         const qel_status status = qel_key_open(c, "/M", &key, nullptr);
         qel_key_free(key);
         return status;
       }},
      {"set",
       [&](qel_connection* c) {
         qel_key* key = nullptr;
         if (qel_key_open(c, "/M", &key, nullptr) != QEL_OK) return QEL_FAILED;
         Arm();
         const qel_status status = qel_key_set_value(key, "v", elements, nullptr, 2, nullptr);
         allocations_left = -1;
         qel_key_free(key);
         return status;
       }},
      {"walk",
       [](qel_connection* c) {
         qel_key* root = nullptr;
         qel_key_iterator* walk = nullptr;
         Arm();
         qel_status status = qel_key_open(c, "/", &root, nullptr);
         if (status == QEL_OK) status = qel_key_search(root, "(key=*)", 1, &walk, nullptr);
         for (qel_key* next = nullptr; status == QEL_OK;) {
           status = qel_key_iterator_next(walk, &next, nullptr);
           if (status != QEL_OK || next == nullptr) break;
           qel_key_free(next);
         }
         qel_key_iterator_free(walk);
         qel_key_free(root);
         return status;
       }},
  };
  const std::string text = "[/M]\nv=a\n[/M/S]\n[/N]\n";
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    std::vector<std::string> failed_states;
    Outcome clean{};
    for (long fail_at = 0;; ++fail_at) {
      std::ofstream(path, std::ios::binary) << text;
      qel_connection* connection = nullptr;
      ASSERT_EQ(qel_login("ini", path.c_str(), 0, "u", "", &connection, nullptr), QEL_OK);
      armed_count = fail_at;
      qel_status status = QEL_OK;
      EXPECT_NO_THROW(status = call(connection));
      const bool failed = refused;
      allocations_left = -1;
      refused = false;
      const Outcome outcome{status, State(connection)};
      qel_connection_free(connection);
      if (!failed) {
        clean = outcome;
        clean.state += " | " + FileText(path);
        break;
      }
      EXPECT_TRUE(status == QEL_NO_MEMORY || status == QEL_FAILED) << "at " << fail_at;
      failed_states.push_back(outcome.state + " | " + FileText(path));
    }
    EXPECT_EQ(clean.status, QEL_OK);
    // Memory and file each as they were or as the call leaves them: never a third state. (A
    // write that fails keeps its change in memory to write it later, and one may fail after its
    // file was replaced.)
    const std::string before_memory = "v=a; S";
    const std::string before_file = " | " + text;
    const std::string after_memory = clean.state.substr(0, clean.state.find(" | "));
    const std::string after_file = clean.state.substr(clean.state.find(" | "));
    for (const std::string& state : failed_states) {
      const std::string memory = state.substr(0, state.find(" | "));
      const std::string file = state.substr(state.find(" | "));
      EXPECT_TRUE(memory == before_memory || memory == after_memory) << state;
      EXPECT_TRUE(file == before_file || file == after_file) << state;
    }
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
