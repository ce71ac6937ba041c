// A host program's tour of the library: log in on a copy of the sample store, open a module's
// root key, walk its subtree, change values in a transaction, search values, report errors.
// Usage: qel_example [store.ini]   (the bundled sample store by default; it is never changed)
#include <filesystem>
#include <iostream>
#include <random>
#include <string>

#include <zor-qel-rb-key/zor_qel_rb_key.h>

namespace {

// Prints the keys below `root` as an indented tree (the store lists a key before its subkeys).
void PrintTree(const QELRBKey& root, size_t limit) {
  size_t shown = 0;
  for (QELRBConstKeyIterator it(root, "(key=*)", true, {});
       it != QELRBConstKeyIterator::EndIterator && shown < limit; ++it, ++shown) {
    const QELRBKey& key = *it;
    std::cout << std::string(2 * (key.GetLevel() - root.GetLevel()), ' ') << key.GetKeyName()
              << "\n";
  }
}

// Runs `step` and reports the QELError it is expected to throw.
template <class Step>
void ExpectError(const std::string& what, Step step) {
  try {
    step();
    std::cout << what << ": no error\n";
  } catch (const QELError& error) {
    std::cout << what << ": error " << error.Code() << " (" << error.What() << ")\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path sample = argc > 1 ? argv[1] : QEL_EXAMPLE_STORE;
  const fs::path directory =
      fs::temp_directory_path() / ("qel_example_" + std::to_string(std::random_device()()));
  const fs::path store = directory / "store.ini";
  int status = 0;
  // The library's error records go wherever the host keeps its log; here, beside the output.
  zor::qel::SetLogSink([](const zor::qel::LogRecord& record) {
    if (record.severity >= 3)
      std::cout << "  [log] " << record.function << ": " << record.text << "\n";
  });
  try {
    fs::create_directories(directory);
    fs::copy_file(sample, store);

    // Log in, letting the library check the store's language mode and product version.
    QELConnection connection(QELConnection::INI);
    connection.SetCheckValidity(true);
    connection.Login(store.string(), 0, "example", "");
    std::cout << "Logged in to " << connection.GetHost() << " (product version "
              << connection.GetVersion() << ")\n\n";

    // A component opens its own part of the tree by module name.
    const QELRBRootKey scheduler("Scheduler", connection);
    std::cout << "Module Scheduler lives at " << scheduler.GetKeyPath() << ":\n";
    PrintTree(scheduler, 12);

    // Changes made through keys opened inside a transaction reach the file once, at Commit.
    connection.BeginTransaction();
    QELRBKey job(scheduler.GetKeyPath() + "/Jobs/job007", connection);
    job.SetValue("calendar", "weekend");
    job.AddValue("commands", "zorctl audit --job 7");
    QELRBKey notify = job.CreateSubkey("Notify");
    notify.SetValues(
        {{"mail", QELRBValue({"ops@zor.example", "audit@zor.example"})}, {"onfailure", "1"}});
    connection.Commit();
    std::cout << "\nUpdated " << job.GetKeyPath()
              << ": calendar = " << static_cast<std::string>(job.GetValue("calendar"))
              << ", commands = " << static_cast<std::string>(job.GetValue("commands")) << "\n";

    // Values whose names match a wildcard pattern.
    const QELRBKey instance("/ZOR_Software/DataServer/Instances/inst03", connection);
    std::cout << "\nValues of " << instance.GetKeyPath() << " matching \"*o*\":\n";
    for (QELRBConstValueIterator it(instance, "*o*"); it != QELRBConstValueIterator::EndIterator;
         ++it) {
      const std::pair<QELNoCaseString, QELRBValue> value = *it;
      std::cout << "  " << value.first << " = " << static_cast<std::string>(value.second) << "\n";
    }

    // Every failure arrives as a QELError with the system's code.
    std::cout << "\n";
    ExpectError("Opening a missing key", [&] { QELRBKey("/ZOR_Software/Nothing", connection); });
    ExpectError("Reading a missing value", [&] { scheduler.GetValue("colour"); });
    ExpectError("Opening a module whose key was removed",
                [&] { QELRBRootKey("Legacy", connection); });
    ExpectError("Adding an element twice", [&] { job.AddValue("commands", "zorctl notify ops"); });
  } catch (const QELError& error) {
    std::cerr << "qel_example: error " << error.Code() << ": " << error.What() << "\n";
    status = 1;
  } catch (const std::exception& error) {
    std::cerr << "qel_example: " << error.what() << "\n";
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return status;
}
