// Helpers shared by the crypto classes: OpenSSL error texts in catalog messages, memory buffers.
#include "CryptoSupport.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <climits>
#include <cstring>

#include "qxseccm/Catalog.h"

namespace QxSecCm::Crypto {

QxMoxStr::String_t TakeOpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return QxMoxStr::String_t("");
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return QxMoxStr::String_t(static_cast<const char*>(text));
}

QxMoxMsg::Message_t OpenSslMessage(int number) {
  QxMoxMsg::Message_t message = Catalog::Warn(number);
  if (std::strstr(Catalog::Text(number), "(%1)") != nullptr) {
    message << TakeOpenSslError();
  } else {
    ERR_clear_error();
  }
  return message;
}

QxSecCore::Ssl::BioPtr ReadOnlyBio(const QxMoxArray::CharArray_t& bytes) {
  if (bytes.GetSize() > static_cast<size_t>(INT_MAX)) return nullptr;
  // An empty array has no storage; OpenSSL wants a pointer even for no bytes.
  static const unsigned char kNothing = 0;
  const void* data = bytes.IsEmpty() ? &kNothing : bytes.GetData();
  return QxSecCore::Ssl::BioPtr(BIO_new_mem_buf(data, static_cast<int>(bytes.GetSize())));
}

int NoPassword(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*data*/) { return -1; }

int CopyOut(BIO* bio, QxMoxArray::CharArray_t& out) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  if (out.GetSize() != size) out.Resize(size);
  if (size > 0) std::memcpy(out.GetData(), data, size);
  return static_cast<int>(size);
}

}  // namespace QxSecCm::Crypto
