// Arbitrary bytes as the DER body of a PEM certificate request handed to the certificate builder:
// the request reader must refuse or accept them without a fault of its own, and a request that
// was accepted yields a certificate that OpenSSL reads back with the request's subject.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace {

using QxSecCore::Ssl::BioPtr;
using QxSecCore::Ssl::X509Ptr;
using ReqPtr = QxSecCore::Ssl::X509ReqPtr;

std::unique_ptr<QxSecCm::CertificateBuilder> g_builder;
char g_home[] = "/tmp/qx-csr-fuzz-XXXXXX";  // the serial file's QX_HOME, removed at exit

void RemoveHome() {
  std::error_code ignored;
  std::filesystem::remove_all(g_home, ignored);
}

// Pem wraps der in the PEM lines of a request.
std::string Pem(const uint8_t* der, size_t size) {
  std::string base64(4 * ((size + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der, static_cast<int>(size));
  base64.resize(static_cast<size_t>(length));
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
  for (size_t at = 0; at < base64.size(); at += 64) pem += base64.substr(at, 64) + "\n";
  return pem + "-----END CERTIFICATE REQUEST-----\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (mkdtemp(g_home) == nullptr) return 1;
  std::atexit(RemoveHome);
  setenv("QX_HOME", g_home, 1);
  unsetenv("QX_CONFIG");
  QxSecCore::X509Certificate caCert;
  QxSecCore::Key caKey;
  QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("Fuzz CA", "Lab", true, caCert, caKey);
  g_builder = std::make_unique<QxSecCm::CertificateBuilder>(caCert, caKey);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string pem = Pem(data, size);
  QxMoxArray::CharArray_t out;
  try {
    g_builder->BuildCertificate(QxSecCm::CertRequest(), QxMoxArray::CharArray_t(pem), out, false);
  } catch (const QxMoxMsg::Exception_t&) {
    return 0;
  }
  const BioPtr bio(BIO_new_mem_buf(out.GetData(), static_cast<int>(out.GetSize())));
  const X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  const unsigned char* in = data;
  const ReqPtr req(d2i_X509_REQ(nullptr, &in, static_cast<long>(size)));
  if (cert == nullptr || req == nullptr ||
      X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_REQ_get_subject_name(req.get())) != 0) {
    std::fprintf(stderr, "csr_fuzz: an accepted request gave a certificate that does not match\n");
    std::abort();
  }
  return 0;
}
