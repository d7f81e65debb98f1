// Installs one entry into the key store of QX_HOME, for scripted tests of the key store
// commands: qx_keystore_install <alias> <certificate.pem> [<private key.pem>]. With a key the
// entry is an own entry, else a trusted one.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "qxseccore/KeyStore.h"

namespace {

QxMoxArray::CharArray_t ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read ") + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return QxMoxArray::CharArray_t(bytes.str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s <alias> <certificate.pem> [<key.pem>]\n", argv[0]);
    return 2;
  }
  try {
    const QxSecCore::X509Certificate cert(ReadAll(argv[2]));
    QxSecCore::KeyStore store;
    if (argc == 4) {
      const QxSecCore::Key key(QxSecCore::Key::TYPE_RSA_PRIVATE, ReadAll(argv[3]));
      store.InstallCertificate(QxMoxStr::String_t(argv[1]), cert, key, false, true);
    } else {
      store.InstallCertificate(QxMoxStr::String_t(argv[1]), cert, false, true);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qx_keystore_install: %s\n", e.what());
    return 1;
  }
}
