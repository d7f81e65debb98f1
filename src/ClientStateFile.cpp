// ClientStateFile: writing, reading and restoring the certificate client's state file.
#include "ClientStateFile.h"

#include <sys/stat.h>

#include <cerrno>

#include "TraceMacros.h"
#include "qxmox/Exception.h"
#include "qxmox/Runtime.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Tracer.h"
#include "qxseccm/Utils.h"
#include "qxseccore/CipherStream.h"

namespace QxSecCm {
namespace {

constexpr const char* kPassword = "%^&k7!9P+R;$=_";

// The key is derived once per process: the derivation is deliberately slow.
const QxSecCore::Key& PasswordKey() {
  static const QxSecCore::Key key(QxMoxStr::String_t(kPassword),
                                  QxSecCore::Key::DERIVE_PBKDF2_SHA256);
  return key;
}

QxSecCore::Cipher FileCipher(int mode) {
  return QxSecCore::Cipher(mode, PasswordKey(), QxSecCore::Cipher::ALG_AES_GCM);
}

void WriteLittleEndian(QxMoxIo::OutputStream_t& out, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
      static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
  out.Write(bytes, sizeof bytes);
}

int32_t ReadLittleEndian(QxMoxIo::DataInputStream_t& in) {
  unsigned char bytes[4];
  in.ReadFully(bytes, sizeof bytes);
  return static_cast<int32_t>(
      static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
      static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

// MakePrivateDirectory creates directory with mode 0700 from the start (its missing parents as
// Mkdirs makes them) and makes its entry durable.
void MakePrivateDirectory(const QxMoxStr::String_t& directory) {
  const QxMoxIo::File_t dir(directory);
  const QxMoxIo::File_t parent(dir.GetParent());
  if (!parent.Mkdirs() || (::mkdir(dir.GetPath().c_str(), 0700) != 0 && errno != EEXIST)) {
    const int error = errno;
    QxMoxMsg::Message_t message = Catalog::Warn(20) << directory;
    message.AddDetails(QxMoxMsg::Win32Message_t(error));
    QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Server, message);
  }
  Utils::SetDirectoryPermissions(directory);
  QxMoxIo::SyncDirectory(parent.GetPath());
}

QxMoxMsg::Message_t WithDetails(QxMoxMsg::Message_t message, const QxMoxMsg::Exception_t& cause) {
  message.AddDetails(cause.GetMessageList());
  return message;
}

}  // namespace

ClientStateFile::ClientStateFile()
    : ClientStateFile(QxMoxRuntime::Dir_t::Path(7, DIRECTORY), QxMoxRuntime::Dir_t::Path(7, FILE)) {
}

ClientStateFile::ClientStateFile(QxMoxStr::String_t directory, QxMoxStr::String_t path)
    : m_directory(std::move(directory)), m_path(std::move(path)) {}

bool ClientStateFile::Exists() const { return QxMoxIo::File_t(m_path).Exists(); }

bool ClientStateFile::Remove() const {
  const QxMoxIo::File_t file(m_path);
  return file.Delete() || !file.Exists();
}

QxMoxArray::CharArray_t ClientStateFile::Plaintext(const ClientState& state) {
  const QxMoxArray::CharArray_t key = state.privateKey.GetType() == QxSecCore::Key::TYPE_NONE
                                          ? QxMoxArray::CharArray_t()
                                          : state.privateKey.GetEncoded();
  QxMoxIo::CharArrayOutputStream_t plain;
  QxMoxIo::DataOutputStream_t out(plain);
  WriteLittleEndian(out, state.state);
  WriteLittleEndian(out, static_cast<int32_t>(key.GetSize()));
  out.Write(key);
  out.WriteUTF16String(state.requestId);
  out.WriteUTF16String(state.coreId);
  return plain.ToCharArray();
}

QxMoxArray::CharArray_t ClientStateFile::Encode(const ClientState& state) {
  return Encipher(Plaintext(state));
}

QxMoxArray::CharArray_t ClientStateFile::Encipher(const QxMoxArray::CharArray_t& plaintext) {
  QxMoxIo::CharArrayOutputStream_t content;
  QxSecIo::CipherOutputStream enciphered(content, FileCipher(QxSecCore::Cipher::ENCRYPT_MODE));
  enciphered.Write(plaintext);
  enciphered.Close();
  return content.ToCharArray();
}

ClientState ClientStateFile::Decode(QxMoxIo::InputStream_t& in,
                                    const QxMoxStr::String_t& pathForMessage) {
  QxSecIo::CipherInputStream deciphered(in, FileCipher(QxSecCore::Cipher::DECRYPT_MODE));
  QxMoxIo::DataInputStream_t data(deciphered);
  ClientState state;
  state.state = ReadLittleEndian(data);
  const int32_t length = ReadLittleEndian(data);
  QxMoxArray::CharArray_t key;
  if (length < 0 || length > data.Remaining()) {
    QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Client,
                  Catalog::Warn(31) << pathForMessage);
  }
  key.Resize(static_cast<size_t>(length));
  data.ReadFully(key.GetData(), key.GetSize());
  if (!key.IsEmpty()) state.privateKey = QxSecCore::Key(QxSecCore::Key::TYPE_RSA_PRIVATE, key);
  state.requestId = data.ReadUTF16String();
  state.coreId = data.ReadUTF16String();
  data.Close();
  return state;
}

void ClientStateFile::Write(const ClientState& state) const {
  const QxMoxArray::CharArray_t content = Encode(state);
  if (!QxMoxIo::File_t(m_directory).IsDirectory()) MakePrivateDirectory(m_directory);
  const std::string path = m_path.ToUtf8();
  QxMoxIo::RemoveStaleTemporaries(path);
  QxMoxIo::ReplaceFile(path, content.View(), 0600, QxMoxIo::CreateMode_e::EXACT);
}

ClientState ClientStateFile::Read() const {
  QxMoxIo::FileInputStream_t in(m_path.ToUtf8());
  return Decode(in, m_path);
}

std::optional<QxMoxMsg::Message_t> ClientStateFile::Save(const ClientState& state) const {
  try {
    Write(state);
    return std::nullopt;
  } catch (const QxMoxMsg::Exception_t& e) {
    return WithDetails(Catalog::Error(30) << m_path, e);
  }
}

ClientStateFile::Loaded ClientStateFile::Load() const {
  try {
    return Loaded{Read(), std::nullopt};
  } catch (const QxMoxMsg::Exception_t& e) {
    return Loaded{ClientState(), WithDetails(Catalog::Error(32) << m_path, e)};
  }
}

ClientStateFile::Restored ClientStateFile::Restore(const QxMoxStr::String_t& coreId) const {
  Restored restored;
  restored.state.coreId = coreId;
  if (!Exists()) return restored;
  auto& tracer = QxSecCmTrc::Tracer::GetClientTracerOperation();
  QXSECCM_TRACE_LINE(tracer, 9, "CertificateClient: Found state info file");

  Loaded loaded = Load();
  if (loaded.failure) {
    restored.messages.push_back(*loaded.failure);
    restored.messages.push_back(Catalog::Error(29) << m_path);
    return restored;
  }
  const ClientState& stored = loaded.state;
  if (stored.coreId == coreId && stored.state == ClientState::STATE_WAITING) {
    QXSECCM_TRACE_LINE(tracer, 9, "CertificateClient: Restoring state from file to: 'waiting'");
    restored.state = stored;
  } else if (stored.coreId == coreId && stored.state == ClientState::STATE_DENIED) {
    QXSECCM_TRACE_LINE(tracer, 9,
                       "CertificateClient: Restored state from file to: 'request denied'");
    restored.state.state = ClientState::STATE_DENIED;
  } else {
    QXSECCM_TRACE_LINE(tracer, 9,
                       "CertificateClient: Stored state does not fit, removing old state");
    restored.messages.push_back(Remove() ? Catalog::Info(28) << m_path
                                         : Catalog::Error(27) << m_path);
  }
  return restored;
}

}  // namespace QxSecCm
