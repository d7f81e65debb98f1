// The OpenSSL error helper and memory BIOs.
#include "OpenSslPtr.h"

#include <openssl/err.h>

#include <climits>

namespace QxSecCore::Ssl {

std::string ErrorText() {
  // The oldest error is the cause; what OpenSSL queued after it only repeats it from further up.
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char line[256];
  ERR_error_string_n(code, line, sizeof line);
  return line;
}

BioPtr MemBio(const void* data, size_t length) {
  if (length > static_cast<size_t>(INT_MAX)) {
    QxMoxMsg::ThrowIllegalArgument("Input too large for OpenSSL");
  }
  static const char kEmpty[1] = {0};
  BioPtr bio(BIO_new_mem_buf(data != nullptr ? data : kEmpty, static_cast<int>(length)));
  Check(bio != nullptr, "BIO_new_mem_buf");
  return bio;
}

std::string_view BioBytes(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  if (size <= 0 || data == nullptr) return {};
  return {data, static_cast<size_t>(size)};
}

}  // namespace QxSecCore::Ssl
