// trust_certificate: adds the certificates of a PEM file to the machine's trusted root
// certificates, as `certutil -addstore Root FILE` does. The Windows tests run it once inside
// their own Wine prefix, so that WinHTTP trusts the WebDAV test server's certificate.
// Usage: trust_certificate FILE.pem
#include <windows.h>

#include <wincrypt.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: trust_certificate FILE.pem\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (root == nullptr) {
    std::cerr << "trust_certificate: cannot open the Root store (error " << GetLastError() << ")\n";
    return 1;
  }
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                         nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    if (size > 0 &&
        CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      ++added;
    }
  }
  CertCloseStore(root, 0);
  if (added == 0) {
    std::cerr << "trust_certificate: no certificate added from " << argv[1] << "\n";
    return 1;
  }
  std::cout << "trusted " << added << " certificate(s) from " << argv[1] << "\n";
  return 0;
}
