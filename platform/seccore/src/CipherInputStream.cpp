// CipherInputStream: reads a whole enciphered message and checks it before handing out bytes.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "qxseccore/CipherStream.h"

namespace QxSecIo {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kProbeChunk = 256;

void Wipe(QxMoxArray::CharArray_t& bytes) {
  if (!bytes.IsEmpty()) OPENSSL_cleanse(bytes.GetData(), bytes.GetSize());
  bytes = QxMoxArray::CharArray_t();
}

// ReadMessage reads in to its end, refusing more than MAX_MESSAGE_SIZE bytes. A stream that
// announces its length is read into a buffer of that size, then probed for its end with a small
// one; others in chunks of kReadChunk.
std::vector<unsigned char> ReadMessage(QxMoxIo::InputStream_t& in) {
  const long long announced = in.Remaining();
  if (announced > static_cast<long long>(MAX_MESSAGE_SIZE)) {
    QxMoxMsg::ThrowIO("Enciphered stream refused: larger than 64 MiB");
  }
  std::vector<unsigned char> message;
  size_t chunk = announced > 0 ? static_cast<size_t>(announced) : kReadChunk;
  size_t next = announced > 0 ? kProbeChunk : kReadChunk;
  for (;;) {
    const size_t start = message.size();
    message.resize(start + chunk);
    const size_t got = in.Read(message.data() + start, chunk);
    message.resize(start + got);
    if (got == 0) return message;
    if (message.size() > MAX_MESSAGE_SIZE) {
      QxMoxMsg::ThrowIO("Enciphered stream refused: larger than 64 MiB");
    }
    chunk = next;
    next = std::min(next * 2, kReadChunk);
  }
}

}  // namespace

CipherInputStream::CipherInputStream(QxMoxIo::InputStream_t& in, const QxSecCore::Cipher& cipher)
    : m_in(in), m_cipher(cipher) {
  if (cipher.GetMode() != QxSecCore::Cipher::DECRYPT_MODE) {
    QxMoxMsg::ThrowIllegalArgument("CipherInputStream needs a cipher in decrypt mode");
  }
}

CipherInputStream::~CipherInputStream() { Wipe(m_plain); }

void CipherInputStream::Load() {
  m_state = State::Failed;
  const std::vector<unsigned char> message = ReadMessage(m_in);
  m_cipher.DoFinal(message.data(), message.size(), m_plain, 0);
  m_state = State::Ready;
}

size_t CipherInputStream::Read(void* buffer, size_t length) {
  switch (m_state) {
    case State::Unread:
      Load();
      break;
    case State::Failed:
      QxMoxMsg::ThrowIO("Enciphered stream was refused");
    case State::Closed:
      QxMoxMsg::ThrowIO("CipherInputStream: read after close");
    case State::Ready:
      break;
  }
  const size_t count = std::min(length, m_plain.GetSize() - m_pos);
  if (count > 0) std::memcpy(buffer, m_plain.GetData() + m_pos, count);
  m_pos += count;
  return count;
}

long long CipherInputStream::Remaining() const {
  if (m_state != State::Ready) return m_state == State::Closed ? 0 : -1;
  return static_cast<long long>(m_plain.GetSize() - m_pos);
}

void CipherInputStream::Close() {
  if (m_state == State::Closed) return;
  m_state = State::Closed;
  Wipe(m_plain);
  m_in.Close();
}

}  // namespace QxSecIo
