// A small program using the installed library: it writes a store, edits it in a transaction and
// reads it back, and catches an error the library throws; exit status 0 when everything it read
// is what it wrote.
#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/zor_qel_rb_key.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: qel-consumer STORE-FILE\n";
    return 2;
  }
  const std::string store = argv[1];
  std::ofstream(store) << "[/App]\nname=consumer\n\n[/App/Colors]\n";

  try {
    QELConnection connection(QELConnection::INI);
    connection.Login(store, 0, "", "");
    connection.BeginTransaction();
    QELRBKey app("/App", connection);
    app.SetValue("list", QELRBValue(std::vector<std::string>{"a", "b"}));
    app.CreateSubkey("Sizes");
    connection.Commit();

    QELConnection reader(QELConnection::INI);
    reader.Login(store, 0, "", "");
    const QELRBKey again("/App", reader);
    std::vector<std::string> subkeys;
    for (QELRBConstKeyIterator it(again, "(key=*)", false, {});
         it != QELRBConstKeyIterator::EndIterator; ++it) {
      subkeys.push_back((*it).GetKeyPath());
    }
    const std::string name = again.GetValue("name");
    const std::vector<std::string> list = again.GetValue("list").Elements();
    // An error thrown inside the library reaches the program as the type it was thrown as.
    long missing = 0;
    try {
      again.GetValue("missing");
    } catch (const QELError& error) {
      missing = error.Code();
    }
    std::cout << name << ' ' << list.size() << ' ' << subkeys.size() << ' ' << missing << '\n';
    if (name != "consumer" || list != std::vector<std::string>{"a", "b"} ||
        subkeys != std::vector<std::string>{"/App/Colors", "/App/Sizes"} ||
        missing != static_cast<long>(zor::qel::ErrorCode::kNoValue)) {
      std::cerr << "qel-consumer: the store does not hold what was written\n";
      return 1;
    }
  } catch (const QELError& error) {
    std::cerr << "qel-consumer: " << error.What() << " (code " << error.Code() << ")\n";
    return 1;
  }
  return 0;
}
