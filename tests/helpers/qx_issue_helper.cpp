// Issues certificates with a certificate builder, for the cross-process serial-number tests.
//
//   qx_issue_helper <ca-cert> <ca-key> <csr> <count> <go-file> [plain|ex [block [hold]]]
//       Reads the CA certificate, its key and a request (PEM files), builds a CertificateBuilder
//       (or CertificateBuilder_ex with "ex") reserving serial numbers block at a time (default
//       1), waits until <go-file> exists, then issues <count> certificates for the request and
//       prints the serial number of each on its own line, flushed at once. With "hold" it then
//       waits to be killed instead of exiting.
//
// QX_HOME comes from the environment. Exit 0 on success, 2 on bad usage, 3 on an exception.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "qxmox/CharArray.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace {

QxMoxArray::CharArray_t ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read ") + path);
  return QxMoxArray::CharArray_t(
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}

bool WaitForFile(const char* path) {
  for (int i = 0; i < 20000; ++i) {
    if (access(path, F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

template <class Builder>
int Issue(const QxSecCore::X509Certificate& caCert, const QxSecCore::Key& caKey,
          const QxMoxArray::CharArray_t& csr, int count, const char* goFile, uint32_t block,
          bool hold) {
  Builder builder(caCert, caKey);
  builder.SetSerialBlock(block);
  if (!WaitForFile(goFile)) return 3;
  for (int i = 0; i < count; ++i) {
    QxMoxArray::CharArray_t out;
    QxSecCm::IssuedCertificate issued;
    builder.BuildCertificate(typename Builder::Request(), csr, out, false, &issued);
    std::printf("%u\n", static_cast<unsigned>(issued.serial));
    std::fflush(stdout);
  }
  while (hold) pause();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || argc > 9) {
    std::fprintf(stderr, "usage: %s ca-cert ca-key csr count go-file [plain|ex [block [hold]]]\n",
                 argv[0]);
    return 2;
  }
  const std::string twin = argc >= 7 ? argv[6] : "plain";
  if (twin != "plain" && twin != "ex") return 2;
  const uint32_t block = argc >= 8 ? static_cast<uint32_t>(std::strtoul(argv[7], nullptr, 10)) : 1;
  const bool hold = argc == 9 && std::string(argv[8]) == "hold";
  try {
    const QxSecCore::X509Certificate caCert(ReadFile(argv[1]));
    const QxSecCore::Key caKey(QxSecCore::Key::TYPE_RSA_PRIVATE, ReadFile(argv[2]));
    const QxMoxArray::CharArray_t csr = ReadFile(argv[3]);
    const int count = std::atoi(argv[4]);
    const auto issue =
        twin == "ex" ? Issue<QxSecCm::CertificateBuilder_ex> : Issue<QxSecCm::CertificateBuilder>;
    return issue(caCert, caKey, csr, count, argv[5], block, hold);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qx_issue_helper: %s\n", e.what());
    return 3;
  }
}
