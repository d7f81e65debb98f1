// CipherOutputStream: buffers the plaintext and writes one enciphered message on Close.
#include <openssl/crypto.h>

#include "qxseccore/CipherStream.h"

namespace QxSecIo {
namespace {

void Wipe(std::vector<unsigned char>& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
  bytes.shrink_to_fit();
}

}  // namespace

CipherOutputStream::CipherOutputStream(QxMoxIo::OutputStream_t& out,
                                       const QxSecCore::Cipher& cipher)
    : m_out(out), m_cipher(cipher) {
  if (cipher.GetMode() != QxSecCore::Cipher::ENCRYPT_MODE) {
    QxMoxMsg::ThrowIllegalArgument("CipherOutputStream needs a cipher in encrypt mode");
  }
}

CipherOutputStream::~CipherOutputStream() { Wipe(m_buffer); }

void CipherOutputStream::Write(const void* data, size_t length) {
  if (m_closed) QxMoxMsg::ThrowIO("CipherOutputStream: write after close");
  constexpr size_t kMaxPlain = MAX_MESSAGE_SIZE - QxSecCore::Cipher::OVERHEAD;
  if (length > kMaxPlain - m_buffer.size()) {
    QxMoxMsg::ThrowIO("CipherOutputStream: message larger than 64 MiB");
  }
  if (length == 0) return;
  // Grow by hand so a reallocation never leaves an unwiped copy of the plaintext behind.
  if (m_buffer.size() + length > m_buffer.capacity()) {
    std::vector<unsigned char> larger;
    larger.reserve(std::max(m_buffer.size() + length, 2 * m_buffer.capacity()));
    larger.assign(m_buffer.begin(), m_buffer.end());
    Wipe(m_buffer);
    m_buffer = std::move(larger);
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  m_buffer.insert(m_buffer.end(), bytes, bytes + length);
}

void CipherOutputStream::Close() {
  if (m_closed) return;
  m_closed = true;
  QxMoxArray::CharArray_t message;
  m_cipher.DoFinal(m_buffer.data(), m_buffer.size(), message, 0);
  Wipe(m_buffer);
  m_out.Write(message);
  m_out.Close();
}

}  // namespace QxSecIo
