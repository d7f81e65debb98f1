// The crypto classes' failure reports and memory buffers.
#include "CryptoSupport.h"

#include <openssl/err.h>

#include <cstring>

#include "qxseccm/Catalog.h"

namespace QxSecCm::Crypto {

QxMoxMsg::Message_t OpenSslMessage(int number) {
  QxMoxMsg::Message_t message = Catalog::Warn(number);
  if (std::strstr(Catalog::Text(number), "(%1)") != nullptr) {
    message << QxMoxStr::String_t(QxSecCore::Ssl::ErrorText());
  }
  ERR_clear_error();
  return message;
}

QxSecCore::Ssl::BioPtr MemoryOf(const QxMoxArray::CharArray_t& bytes, ExceptionTracer::E side,
                                Where where) {
  try {
    return QxSecCore::Ssl::MemBio(bytes.GetData(), bytes.GetSize());
  } catch (const QxMoxMsg::Exception_t& e) {
    QxMoxMsg::Message_t message = Catalog::Warn(3);
    message.AddDetails(e.GetMessageList());
    Fail(side, message, where);
  }
}

QxSecCore::Ssl::BioPtr NewMemory(ExceptionTracer::E side, const BIO_METHOD* method, Where where) {
  QxSecCore::Ssl::BioPtr bio(BIO_new(method));
  if (bio == nullptr) Fail(side, 3, where);
  return bio;
}

int CopyOut(BIO* bio, QxMoxArray::CharArray_t& out) {
  const std::string_view bytes = QxSecCore::Ssl::BioBytes(bio);
  if (out.GetSize() != bytes.size()) out.Resize(bytes.size());
  if (!bytes.empty()) std::memcpy(out.GetData(), bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

int NoPassword(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*data*/) { return -1; }

}  // namespace QxSecCm::Crypto
