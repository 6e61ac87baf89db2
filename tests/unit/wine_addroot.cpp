// wine_addroot CERT.der user|machine: adds a DER certificate to the Root store
// of the Wine prefix the tests run in, so that WinINet trusts the test CA.
#include <windows.h>

// wincrypt.h needs the types of windows.h first.
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::puts("usage: wine_addroot CERT.der user|machine");
    return 2;
  }
  FILE* f = std::fopen(argv[1], "rb");
  if (!f) return 2;
  std::vector<BYTE> der(65536);
  der.resize(std::fread(der.data(), 1, der.size(), f));
  std::fclose(f);
  DWORD where =
      argv[2][0] == 'm' ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, where, "Root");
  BOOL ok = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (store) CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
