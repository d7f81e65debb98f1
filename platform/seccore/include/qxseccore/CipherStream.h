// QxSecIo::CipherOutputStream and CipherInputStream: streams enciphered as one message.
#pragma once

#include <cstddef>
#include <vector>

#include "qxmox/Io.h"
#include "qxseccore/Cipher.h"

namespace QxSecIo {

// MAX_MESSAGE_SIZE bounds one enciphered stream (nonce, ciphertext and tag together).
inline constexpr size_t MAX_MESSAGE_SIZE = 64u * 1024 * 1024;

// CipherOutputStream collects everything written and, on Close, enciphers it as one message
// (see QxSecCore::Cipher), writes that to the underlying stream and closes it. Nothing reaches
// the underlying stream before Close, so a writer that fails half-way leaves no message
// behind: the destructor of a stream that was not closed discards (and wipes) what was
// written instead of writing it.
class CipherOutputStream : public QxMoxIo::OutputStream_t {
 public:
  using QxMoxIo::OutputStream_t::Write;
  // CipherOutputStream keeps a reference to out, which must outlive it, and a copy of cipher,
  // which must be in ENCRYPT_MODE (else QxMoxMsg::IllegalArgumentError_t).
  CipherOutputStream(QxMoxIo::OutputStream_t& out, const QxSecCore::Cipher& cipher);
  ~CipherOutputStream() override;
  CipherOutputStream(const CipherOutputStream&) = delete;
  CipherOutputStream& operator=(const CipherOutputStream&) = delete;

  // Write buffers the bytes. Throws QxMoxIo::IOException_t after Close or when the message
  // would exceed MAX_MESSAGE_SIZE.
  void Write(const void* data, size_t length) override;
  // Flush does nothing: the message is written as a whole on Close.
  void Flush() override {}
  // Close enciphers the buffered bytes, writes the message, then closes the underlying
  // stream. A second Close does nothing. Throws what the underlying stream throws.
  void Close() override;

 private:
  QxMoxIo::OutputStream_t& m_out;
  QxSecCore::Cipher m_cipher;
  std::vector<unsigned char> m_buffer;
  bool m_closed = false;
};

// CipherInputStream deciphers a message written by CipherOutputStream. The first Read reads
// the underlying stream to its end (at most MAX_MESSAGE_SIZE bytes, memory growing only with
// the bytes received) and checks the tag before it hands out a byte. A wrong key, a truncated
// message or any changed byte makes that Read, and every later one, throw
// QxMoxIo::IOException_t, so a caller never sees part of an altered message.
class CipherInputStream : public QxMoxIo::InputStream_t {
 public:
  // CipherInputStream keeps a reference to in, which must outlive it, and a copy of cipher,
  // which must be in DECRYPT_MODE (else QxMoxMsg::IllegalArgumentError_t).
  CipherInputStream(QxMoxIo::InputStream_t& in, const QxSecCore::Cipher& cipher);
  ~CipherInputStream() override;
  CipherInputStream(const CipherInputStream&) = delete;
  CipherInputStream& operator=(const CipherInputStream&) = delete;

  // Read returns up to length plaintext bytes, 0 at the end.
  size_t Read(void* buffer, size_t length) override;
  // Remaining returns the plaintext bytes left, or -1 before the first Read.
  long long Remaining() const override;
  // Close closes the underlying stream and wipes the plaintext.
  void Close() override;

 private:
  void Load();
  QxMoxIo::InputStream_t& m_in;
  QxSecCore::Cipher m_cipher;
  QxMoxArray::CharArray_t m_plain;
  size_t m_pos = 0;
  enum class State { Unread, Ready, Failed, Closed } m_state = State::Unread;
};

}  // namespace QxSecIo
