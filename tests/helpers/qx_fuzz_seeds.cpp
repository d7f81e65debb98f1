// qx_fuzz_seeds <corpus dir>: writes the seeds of the node message and state file fuzz targets
// with the library's own writers, each as a whole message and as the plaintext of its
// enciphered part (see tests/fuzz/FuzzSupport.h).
#include <cstdio>
#include <string>

#include "../fuzz/FuzzSupport.h"
#include "ClientStateFile.h"
#include "RecordSamples.h"
#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "qxseccm/X509CertRequest.h"

namespace {

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;

void Put(const std::string& dir, const std::string& target, const std::string& name, uint8_t mode,
         const CharArray_t& bytes) {
  const std::string path = dir + "/" + target;
  QxMoxIo::File_t(path).Mkdirs();
  QxMoxIo::FileOutputStream_t out(path + "/" + name);
  out.Write(QxFuzz::WithMode(mode, bytes));
  out.Close();
}

// PutBoth writes message whole and the plaintext that follows its head of headSize bytes.
void PutBoth(const std::string& dir, const std::string& target, const std::string& name,
             const CharArray_t& message, size_t headSize) {
  Put(dir, target, name, QxFuzz::kWhole, message);
  Put(dir, target, name + "-plain", QxFuzz::kPlaintext, QxFuzz::Unseal(message, headSize));
}

size_t RequestHeadSize(const CharArray_t& message) {
  QxMoxIo::CharArrayInputStream_t in(message);
  const QxSecCm::RequestMessage head(in);
  return message.GetSize() - static_cast<size_t>(in.Remaining());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qx_fuzz_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  QxFuzz::UsePrivateHome();
  const QxSecCm::X509CertRequest generated(String_t("node1.example"), String_t("node1"));
  CharArray_t csr;
  generated.GetEncoded(csr);
  const auto request = QxTest::SampleRequest<QxSecCm::CertRequest>(1);
  const QxSecCm::MessageKey& key = QxFuzz::Key();

  for (const bool withKey : {false, true}) {
    QxMoxIo::CharArrayOutputStream_t out;
    const CharArray_t installKey = withKey ? QxFuzz::InstallKey() : CharArray_t();
    QxSecCm::RequestMessage::Write(out, request, csr, key.Wrap(installKey), key,
                                   withKey ? String_t("inst-1") : String_t("0"));
    const CharArray_t message = out.ToCharArray();
    PutBoth(dir, "request_message_fuzz", withKey ? "install-key" : "platform-key", message,
            RequestHeadSize(message));
  }

  QxSecCm::ResponseMessage response;
  response.requestId = request.GetId();
  response.certificate = csr;
  response.trustedCerts = {CharArray_t(std::string_view("root one")), CharArray_t()};
  for (const int32_t code : {1, 2}) {
    response.returnCode = code;
    QxMoxIo::CharArrayOutputStream_t out;
    response.Write(out, key);
    PutBoth(dir, "response_message_fuzz", code == 1 ? "granted" : "denied", out.ToCharArray(),
            QxFuzz::KeyHead().GetSize());
  }

  QxSecCm::ClientState state;
  state.state = QxSecCm::ClientState::STATE_WAITING;
  state.privateKey = generated.GetPrivateKey();
  state.requestId = request.GetId();
  state.coreId = String_t("node1.example");
  Put(dir, "client_state_fuzz", "waiting", QxFuzz::kWhole, QxSecCm::ClientStateFile::Encode(state));
  Put(dir, "client_state_fuzz", "waiting-plain", QxFuzz::kPlaintext,
      QxSecCm::ClientStateFile::Plaintext(state));
  state.state = QxSecCm::ClientState::STATE_DENIED;
  state.privateKey = QxSecCore::Key();
  Put(dir, "client_state_fuzz", "denied-keyless-plain", QxFuzz::kPlaintext,
      QxSecCm::ClientStateFile::Plaintext(state));
  return 0;
}
