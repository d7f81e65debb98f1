// ClientStateFile: the certificate client's enciphered state file and the rules for restoring it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/Io.h"
#include "qxmox/Message.h"
#include "qxmox/String.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

// ClientState is what the state file keeps of the client: its state (the client's State_e
// value), the private key of the outstanding request, the request id and the core id.
struct ClientState {
  static constexpr int32_t STATE_INITIAL = 2;
  static constexpr int32_t STATE_WAITING = 3;
  static constexpr int32_t STATE_DENIED = 4;

  int32_t state = STATE_INITIAL;
  QxSecCore::Key privateKey;
  QxMoxStr::String_t requestId;
  QxMoxStr::String_t coreId;
};

// ClientStateFile reads and writes one state file. The file is one message of a cipher stream
// (ALG_AES_GCM) under the key derived from the library's fixed password (Key(password, 1)), whose
// plaintext is:
//   1  state               4 bytes, signed, least significant byte first
//   2  key length N        4 bytes, signed, least significant byte first
//   3  private key         N bytes: Key::GetEncoded (PEM); N = 0 stands for no key
//   4  request id          counted UTF-16 string (DataOutputStream_t::WriteUTF16String)
//   5  core id             counted UTF-16 string
// A write replaces the file atomically (a temporary file of mode 0600 in the same directory,
// fsync, rename, directory fsync), so a crash leaves the old file or the new one, never a torn
// one; the directory is created with mode 0700.
//
// Write, Read, Encode and Decode throw; Save, Load and Restore are the client's operations,
// which never throw a QxMoxMsg::Exception_t and instead return the catalog messages that the
// client logs, in order.
class ClientStateFile {
 public:
  // DIRECTORY and FILE are the places under the data directory (Dir_t::Path key 7).
  static constexpr const char* DIRECTORY = "sec/cc";
  static constexpr const char* FILE = "sec/cc/ccstate.dat";

  // ClientStateFile() names FILE in DIRECTORY under the data directory of QX_HOME.
  ClientStateFile();
  // ClientStateFile(directory, path) names path in directory (absolute paths).
  ClientStateFile(QxMoxStr::String_t directory, QxMoxStr::String_t path);

  const QxMoxStr::String_t& GetDirectory() const { return m_directory; }
  const QxMoxStr::String_t& GetPath() const { return m_path; }
  bool Exists() const;
  // Remove deletes the file; true when it is gone.
  bool Remove() const;

  // Encode returns the file content of state: Encipher(Plaintext(state)).
  static QxMoxArray::CharArray_t Encode(const ClientState& state);
  // Plaintext returns fields 1 to 5 of state; Encipher enciphers any plaintext as file content
  // (tests and fuzzing feed Decode with it).
  static QxMoxArray::CharArray_t Plaintext(const ClientState& state);
  static QxMoxArray::CharArray_t Encipher(const QxMoxArray::CharArray_t& plaintext);
  // Decode reads file content from in. Throws QxMoxMsg::RuntimeException_t with catalog message
  // 31 (%1 = pathForMessage, traced on the client side) when the key length is negative or
  // larger than the data, QxMoxIo::IOException_t when the content does not decipher or is cut
  // short, QxMoxMsg::IllegalArgumentError_t when the key bytes are no RSA private key.
  static ClientState Decode(QxMoxIo::InputStream_t& in, const QxMoxStr::String_t& pathForMessage);

  // Write creates the directory when it is missing (with its missing parents; it gets mode
  // 0700 from the start, and Utils::SetDirectoryPermissions) and replaces the file with state.
  // Throws QxMoxMsg::RuntimeException_t with message 20 (%1 = the directory, traced on the
  // server side) when the directory cannot be made, and what the replace throws
  // (QxMoxIo::IOException_t); the old file is then untouched.
  void Write(const ClientState& state) const;
  // Read reads the file as Decode does; a missing or unreadable file is an IOException_t.
  ClientState Read() const;

  // Save is Write that returns nothing on success, and on failure the error message 30
  // (%1 = the path) with the failure's messages as details.
  std::optional<QxMoxMsg::Message_t> Save(const ClientState& state) const;

  // Loaded is the outcome of Load: the state read, or on failure an initial state (state 2, no
  // key, empty ids) and the error message 32 (%1 = the path) with the failure's messages.
  struct Loaded {
    ClientState state;
    std::optional<QxMoxMsg::Message_t> failure;
  };
  Loaded Load() const;

  // Restored is the outcome of Restore: the client takes over state.state and state.coreId,
  // and state.requestId and state.privateKey only when state.state is STATE_WAITING (a denied
  // client keeps its own); messages are to be logged in order.
  struct Restored {
    ClientState state;
    std::vector<QxMoxMsg::Message_t> messages;
  };
  // Restore decides the client's state at start for coreId: initial (2) without a file; when
  // the file cannot be loaded, initial, with messages 32 and 29 (the file stays); waiting with
  // the stored request id and key, or denied, when the file holds state 3 or 4 for exactly
  // coreId; otherwise initial, and the file is removed (message 28, or 27 when it cannot be).
  // Each decision is traced at level 9 on the client's operation trace object.
  Restored Restore(const QxMoxStr::String_t& coreId) const;

 private:
  QxMoxStr::String_t m_directory;
  QxMoxStr::String_t m_path;
};

}  // namespace QxSecCm
