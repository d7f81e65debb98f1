// Installs trusted entries into the key store of QX_HOME, for tests that share one store
// between processes: qx_keystore_helper <alias prefix> <count> <PEM certificate file>.
// Each install is its own operation; every tenth one is checked, then removed and installed
// again, so reads, writes and removals of several processes interleave.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "qxseccore/KeyStore.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <alias prefix> <count> <certificate.pem>\n", argv[0]);
    return 2;
  }
  try {
    std::ifstream in(argv[3], std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    const QxSecCore::X509Certificate cert{QxMoxArray::CharArray_t(pem.str())};
    const int count = std::atoi(argv[2]);
    QxSecCore::KeyStore store;
    for (int i = 0; i < count; ++i) {
      const QxMoxStr::String_t alias = QxMoxStr::String_t(argv[1]) + "-" + QxMoxStr::NumToStr(i);
      store.InstallCertificate(alias, cert, false, true);
      if (i % 10 == 0) {
        if (!store.IsTrustedCertEntry(alias) || !store.RemoveCertificate(alias)) return 3;
        store.InstallCertificate(alias, cert, false, true);
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qx_keystore_helper: %s\n", e.what());
    return 1;
  }
}
