// A program written for release 3.0, unchanged: it includes the headers by their bare names and
// logs through the names 3.0 declared outside any namespace. Exit status 0 when the record of a
// failed read reaches its sink and a value it wrote reads back.
#include <zor_qel_rb_key.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: qel-consumer-3.0 STORE-FILE\n";
    return 2;
  }
  const std::string store = argv[1];
  std::ofstream(store) << "[/App]\n";

  std::vector<LogRecord> records;
  SetLogSink([&](const LogRecord& record) { records.push_back(record); });
  SetTraceEnabled(false);
  try {
    QELConnection connection(QELConnection::INI);
    connection.Login(store, 0, "", "");
    QELRBKey app("/App", connection);
    app.SetValue("name", "3.0");
    try {
      app.GetValue("missing");
    } catch (const QELError&) {
    }
    if (app.GetValue("name") != "3.0" || records.size() != 1 || records[0].severity != 3 ||
        IsTraceEnabled()) {
      std::cerr << "qel-consumer-3.0: unexpected value or log records\n";
      return 1;
    }
  } catch (const QELError& error) {
    std::cerr << "qel-consumer-3.0: " << error.What() << " (code " << error.Code() << ")\n";
    return 1;
  }
  std::cout << "3.0 program: " << records[0].function << '\n';
  return 0;
}
