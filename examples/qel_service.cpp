// A typical service written with the zor::qel layer: the gateway reads its settings with
// defaults, walks its routes, and records that it runs, all changes in one transaction.
// Usage: qel_service [store.ini]   (runs on a copy: the bundled sample store by default)
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel.h>

namespace {

namespace qel = zor::qel;

std::string Join(const std::vector<std::string>& elements) {
  std::string text;
  for (const std::string& element : elements) text += (text.empty() ? "" : " ") + element;
  return text;
}

// The service's start: 0 when it runs, 78 for a setting to fix by hand, 1 for any other failure.
int RunGateway(const std::string& store) {
  qel::SetLogSink([](const qel::LogRecord& record) {
    if (record.severity >= 3)
      std::cerr << "[qel] " << record.function << ": " << record.text << "\n";
  });
  try {
    QELConnection connection(QELConnection::INI);
    connection.Login(store, 0, "gateway", "");

    const QELRBRootKey gateway("Gateway", connection);
    const std::vector<std::string> listen = qel::ReadList(gateway, "listen", {"0.0.0.0:8443"});
    const bool tls = qel::ReadBool(gateway, "tls", true);
    const auto workers = qel::ReadInteger<unsigned>(gateway, "workers", 4);
    std::cout << "gateway on " << Join(listen) << (tls ? " with" : " without") << " TLS, "
              << workers << " workers\n";
    for (const QELRBKey& route : qel::Subkeys(gateway.GetSubkey("Routes"))) {
      std::cout << "  " << qel::ReadString(route, "prefix", "/") << " -> "
                << Join(qel::ReadList(route, "backend")) << ", timeout "
                << qel::ReadInteger(route, "timeout", 30) << " s\n";
    }

    qel::Transaction transaction(connection);
    QELRBKey state(gateway.GetKeyPath(), connection);  // opened inside: it writes at Commit
    state.SetValue("state", "running");
    state.SetValue("pid", std::to_string(getpid()));
    transaction.Commit();  // one write; on failure the store is as it was
    for (const auto& [name, value] : qel::Values(state, "[ps]*")) {
      std::cout << "  " << name << " = " << static_cast<std::string>(value) << "\n";
    }
    return 0;
  } catch (const qel::MalformedValueError& error) {  // an operator's typo: say which value
    std::cerr << "gateway: " << error.What() << "\n";
    return 78;
  } catch (const QELError& error) {  // every other failure, login included
    std::cerr << "gateway: " << error.What() << " (code " << error.Code() << ")\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path sample = argc > 1 ? argv[1] : QEL_EXAMPLE_STORE;
  const fs::path directory =
      fs::temp_directory_path() / ("qel_service_" + std::to_string(std::random_device()()));
  int status = 1;
  try {
    fs::create_directories(directory);
    fs::copy_file(sample, directory / "store.ini");
    status = RunGateway((directory / "store.ini").string());
  } catch (const std::exception& error) {
    std::cerr << "qel_service: " << error.what() << "\n";
  }
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return status;
}
