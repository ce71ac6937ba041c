// The C interface when memory runs out: the program's operator new (which serves the library and
// the C++ runtime, both linked into it) fails from the k-th allocation of a call on, for every k,
// and each call must return QEL_NO_MEMORY or QEL_FAILED, never throw or crash, leave the file as
// it was or as the call without failures leaves it, no temporary file beside it and no handle
// open. Under LeakSanitizer it also finds what a failed allocation leaks of memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

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
void Disarm() { allocations_left = -1; }
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

// What the process holds open: on Windows the entries of `directory` (itself included) that some
// handle holds, found by opening each without sharing it (Wine counts no handles); elsewhere how
// many file descriptors it has.
std::string HeldOpen(const std::string& directory) {
  std::string held;
#ifdef _WIN32
  std::vector<std::filesystem::path> entries = {directory};
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    entries.push_back(entry.path());
  for (const std::filesystem::path& entry : entries) {
    const HANDLE probe = ::CreateFileW(entry.wstring().c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      ::CloseHandle(probe);
    } else if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      held += entry.filename().string() + " ";
    }
  }
#else
  (void)directory;
  long count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end;
       !error && entry != end; entry.increment(error)) {
    ++count;
  }
  held = std::to_string(count) + " descriptors";
#endif
  return held;
}

// The files in `directory` besides the store's and its lock file, which a write left behind;
// removed, so that each attempt is judged alone.
std::string TakeStrays(const std::string& directory) {
  std::string strays;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name == "store.ini" || name == "store.ini.lock") continue;
    strays += name + " ";
    std::error_code ignored;
    std::filesystem::remove(entry.path(), ignored);
  }
  return strays;
}

// Runs `attempt` once with nothing failing (which also starts what the process starts once),
// then with its armed call failing from the k-th allocation on, for k = 0, 1, ... until one
// attempt meets no failure. `attempt` returns its status; `check` looks at the result of each
// attempt, told whether an allocation failed. Every attempt must give back every handle it
// opened. Returns how many attempts failed an allocation.
long Sweep(const std::string& directory, const std::function<qel_status()>& attempt,
           const std::function<void(bool failed, long fail_at, qel_status status)>& check) {
  armed_count = -1;
  check(false, -1, attempt());
  long failures = 0;
  for (long fail_at = 0;; ++fail_at) {
    const std::string held = HeldOpen(directory);
    armed_count = fail_at;
    qel_status status = QEL_OK;
    EXPECT_NO_THROW(status = attempt()) << "at " << fail_at;
    const bool failed = refused;
    Disarm();
    refused = false;
    armed_count = -1;
    check(failed, fail_at, status);
    EXPECT_EQ(HeldOpen(directory), held) << "at " << fail_at;
    if (!failed) return failures;
    EXPECT_TRUE(status == QEL_NO_MEMORY || status == QEL_FAILED)
        << "at " << fail_at << ": " << status;
    ++failures;
  }
}

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
         Disarm();
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
      {"watch",
       [](qel_connection* c) {
         int descriptor = -1;
         Arm();
         return qel_change_descriptor(c, &descriptor, nullptr);
       }},
  };
  const std::string text = "[/M]\nv=a\n[/M/S]\n[/N]\n";
  for (const auto& named_call : calls) {
    SCOPED_TRACE(named_call.first);
    const auto& call = named_call.second;
    // What the call leaves with nothing failing, then what each failing attempt left.
    std::string after_memory;
    std::string after_file;
    std::vector<std::pair<std::string, std::string>> failed_states;
    qel_connection* connection = nullptr;
    const long failures = Sweep(
        directory,
        [&] {
          std::ofstream(path, std::ios::binary) << text;
          if (qel_login("ini", path.c_str(), 0, "u", "", &connection, nullptr) != QEL_OK) {
            return QEL_FAILED;
          }
          const qel_status status = call(connection);
          Disarm();
          return status;
        },
        [&](bool failed, long fail_at, qel_status status) {
          const std::string memory = connection != nullptr ? State(connection) : "no login";
          qel_connection_free(connection);
          connection = nullptr;
          EXPECT_EQ(TakeStrays(directory), "") << "at " << fail_at;
          if (failed) {
            failed_states.emplace_back(memory, FileText(path));
            return;
          }
          EXPECT_EQ(status, QEL_OK) << "at " << fail_at;
          if (fail_at < 0) {
            after_memory = memory;
            after_file = FileText(path);
          } else {
            EXPECT_EQ(memory, after_memory);
            EXPECT_EQ(FileText(path), after_file);
          }
        });
    EXPECT_GT(failures, 0) << "no allocation of the call reached the program's operator new";
    // Memory and file each as they were or as the call leaves them: never a third state. (A
    // write that fails keeps its change in memory to write it later, and one may fail after its
    // file was replaced.)
    for (const auto& [memory, file] : failed_states) {
      EXPECT_TRUE(memory == "v=a; S" || memory == after_memory) << memory;
      EXPECT_TRUE(file == text || file == after_file) << file;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  EXPECT_FALSE(std::filesystem::exists(directory)) << "a handle in it is still open";
}

// A login to a remote store whose server is down (nothing listens on port 1): whichever allocation
// fails, what it made is freed (the address's parts libcurl returned, the connection's holder)
// and the CA file it read (on Windows; libcurl reads it elsewhere) is closed again.
TEST(CapiMemory, AFailedRemoteLoginClosesItsFiles) {
  const std::string directory = MakeScratchDirectory("qel_capi_memory");
  const std::string ca_file = directory + "/ca.pem";
  std::ofstream(ca_file, std::ios::binary)
      << "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  SetEnvironment("QEL_REMOTE_CA_FILE", ca_file);
  SetEnvironment("QEL_REMOTE_CONNECT_TIMEOUT", "0.5");
  const long failures = Sweep(
      directory,
      [] {
        qel_connection* connection = nullptr;
        Arm();
        const qel_status status =
            qel_login("rini", "127.0.0.1:1/store.ini", 0, "u", "p", &connection, nullptr);
        Disarm();
        qel_connection_free(connection);
        return status;
      },
      [](bool failed, long fail_at, qel_status status) {
        if (!failed) {
          EXPECT_EQ(status, QEL_FAILED) << "at " << fail_at;
        }
      });
  EXPECT_GT(failures, 0);
  UnsetEnvironment("QEL_REMOTE_CONNECT_TIMEOUT");
  UnsetEnvironment("QEL_REMOTE_CA_FILE");
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  EXPECT_FALSE(std::filesystem::exists(directory)) << "a handle in it is still open";
}

}  // namespace
