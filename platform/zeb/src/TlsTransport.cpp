#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>

#include "HttpClient.h"
#include "HttpTransport.h"
#include "OpenSslPtr.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxseccore/KeyStore.h"
#include "qxzeb/Exceptions.h"

namespace QxZebHttp {

namespace {

namespace Ssl = QxSecCore::Ssl;

QxMoxTrc::TraceWrapper_t g_trace("zeb.tls", 1);
using Ssl::X509StorePtr;

// Identity is the process's TLS identity and trust, read from the key store.
struct Identity {
  QxSecCore::X509Certificate cert;  // empty without an own entry
  QxSecCore::Key key;
  std::vector<QxSecCore::X509Certificate> trusted;

  // Load reads the own entry under [sec.core] CORE_ID and, with trust true, the trusted roots.
  // Without a CORE_ID the key store is not opened for the identity.
  static Identity Load(bool trust) {
    Identity id;
    const QxMoxStr::String_t coreId =
        QxMoxConfig::ConfigNamespace_t("sec.core").Open().GetValue("CORE_ID");
    if (coreId.IsEmpty() && !trust) return id;
    QxSecCore::KeyStore store;
    if (!coreId.IsEmpty() && store.IsPrivateKeyEntry(coreId)) {
      id.cert = store.GetCertificate(coreId);
      id.key = store.GetPrivateKey(coreId);
    }
    if (!id.HasIdentity() && !trust) return id;
    QxSecCore::StringCollection aliases;
    store.Aliases(aliases);
    for (aliases.MoveFirst(); !aliases.IsAtEnd(); aliases.Next()) {
      if (store.IsTrustedCertEntry(aliases.GetCurrent())) {
        id.trusted.push_back(store.GetCertificate(aliases.GetCurrent()));
      }
    }
    return id;
  }
  bool HasIdentity() const { return !cert.IsNull(); }

  // Fingerprint returns the SHA-256 digests of the certificate and of the trusted roots; a
  // connection is reused only under the identity and trust it was made with.
  std::string Fingerprint() const {
    std::string out(HasIdentity() ? "I" : "-");
    auto add = [&out](const QxSecCore::X509Certificate& c) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      Ssl::Check<QxMoxMsg::RuntimeException_t>(X509_digest(c.Native(), EVP_sha256(), md, &n) == 1,
                                               "certificate digest");
      out.append(reinterpret_cast<const char*>(md), n);
    };
    if (HasIdentity()) add(cert);
    for (const auto& root : trusted) add(root);
    return out;
  }
};

using SecurityFn = int (*)(const SSL*, const SSL_CTX*, int, int, int, void*, void*);
using Ssl::SslCtxPtr;

// DefaultSecurity returns OpenSSL's own security callback (the one a new context has).
SecurityFn DefaultSecurity() {
  static const SecurityFn fn = [] {
    SslCtxPtr probe(SSL_CTX_new(TLS_method()));
    return probe ? SSL_CTX_get_security_callback(probe.get()) : nullptr;
  }();
  return fn;
}

// The platform's certificates carry RSA-1024 keys and SHA-1 signatures, below the default
// security level. Exactly those certificate checks are let through; every other check (protocol
// version, cipher suites, key exchange groups, handshake signatures) keeps the default rule.
int PlatformCertSecurity(const SSL* s, const SSL_CTX* ctx, int op, int bits, int nid, void* other,
                         void* ex) {
  switch (op) {
    case SSL_SECOP_EE_KEY:
    case SSL_SECOP_CA_KEY:
    case SSL_SECOP_PEER_EE_KEY:
    case SSL_SECOP_PEER_CA_KEY:
      if (bits >= 80) return 1;  // RSA-1024
      break;
    case SSL_SECOP_CA_MD:
    case SSL_SECOP_PEER_CA_MD:
      if (nid == NID_sha1 || nid == NID_sha1WithRSAEncryption) return 1;
      break;
    default:
      break;
  }
  const SecurityFn fallback = DefaultSecurity();
  return fallback ? fallback(s, ctx, op, bits, nid, other, ex) : 0;
}

// Setup applies what client and server contexts share: TLS 1.2 or later, the certificate rule
// above, the trusted roots, and the identity when there is one.
void Setup(SSL_CTX* ctx, const Identity& id) {
  Ssl::Check<QxMoxMsg::RuntimeException_t>(SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1,
                                           "TLS minimum version");
  DefaultSecurity();
  SSL_CTX_set_security_callback(ctx, &PlatformCertSecurity);
  X509StorePtr store(X509_STORE_new());
  Ssl::Check<QxMoxMsg::RuntimeException_t>(store != nullptr, "X509_STORE_new");
  for (const auto& cert : id.trusted) X509_STORE_add_cert(store.get(), cert.Native());
  ERR_clear_error();  // a root present twice is not a failure
  SSL_CTX_set_cert_store(ctx, store.release());
  if (id.HasIdentity()) {
    Ssl::Check<QxMoxMsg::RuntimeException_t>(SSL_CTX_use_certificate(ctx, id.cert.Native()) == 1,
                                             "TLS certificate");
    Ssl::Check<QxMoxMsg::RuntimeException_t>(SSL_CTX_use_PrivateKey(ctx, id.key.Native()) == 1,
                                             "TLS private key");
  }
}

std::string CommonName(X509* cert) {
  X509_NAME* name = X509_get_subject_name(cert);
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return {};
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0) return {};
  Ssl::OpenSslBytes owned(utf8);
  return std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
}

// VerifyState is what the client's verification learnt; reached through the context's app data.
struct VerifyState {
  std::string targetId;
  bool targetMismatch = false;
  std::string chainError;
};

// AcceptPlatformProfile clears the chain errors that only say a certificate is of the
// platform's profile (an RSA key of at least 1024 bits, a SHA-1 signature): certificate
// verification applies the security level on its own, apart from the security callback.
// A weak digest is the signature on the current certificate, a small key its own key.
bool AcceptPlatformProfile(X509_STORE_CTX* store) {
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (cert == nullptr) return false;
  switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_CA_MD_TOO_WEAK:
      if (X509_get_signature_nid(cert) != NID_sha1WithRSAEncryption) return false;
      break;
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL: {
      EVP_PKEY* key = X509_get0_pubkey(cert);
      if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
          EVP_PKEY_get_bits(key) < 1024) {
        return false;
      }
      break;
    }
    default:
      return false;
  }
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return true;
}

int ClientVerify(int ok, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* state = static_cast<VerifyState*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!ok && AcceptPlatformProfile(store)) ok = 1;
  if (!ok) {
    state->chainError = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    return 0;
  }
  if (X509_STORE_CTX_get_error_depth(store) == 0 && !state->targetId.empty() &&
      CommonName(X509_STORE_CTX_get_current_cert(store)) != state->targetId) {
    state->targetMismatch = true;
    return 0;
  }
  return 1;
}

// The server asks every caller for a certificate but admits callers without one or with an
// untrusted one; whether a certificate chained to a trusted root is read per request
// (authentication values). Verification goes on past a refused certificate, so the first
// refused error is kept as the result: a profile error cleared further up must not hide it.
int ServerVerify(int ok, X509_STORE_CTX* store) {
  static const int refusedIndex =
      X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  if (!ok && !AcceptPlatformProfile(store) &&
      X509_STORE_CTX_get_ex_data(store, refusedIndex) == nullptr) {
    const intptr_t error = X509_STORE_CTX_get_error(store);
    X509_STORE_CTX_set_ex_data(store, refusedIndex, reinterpret_cast<void*>(error));
  }
  if (void* refused = X509_STORE_CTX_get_ex_data(store, refusedIndex)) {
    X509_STORE_CTX_set_error(store, static_cast<int>(reinterpret_cast<intptr_t>(refused)));
  }
  return 1;
}

// SocketIo is what the socket BIO of a TLS connection works on: the socket, the errno of its
// last failed call and whether it met the end of the stream.
struct SocketIo {
  int fd = -1;
  int error = 0;
  bool eof = false;
};

// The BIO writes with MSG_NOSIGNAL: a TLS write to a peer that closed the connection fails with
// EPIPE instead of raising SIGPIPE, whose default action ends the process. A timeout or any
// other failure is final, never a retry, since the socket blocks.
int SocketWrite(BIO* bio, const char* data, size_t size, size_t* written) {
  auto* io = static_cast<SocketIo*>(BIO_get_data(bio));
  ssize_t n;
  while ((n = send(io->fd, data, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    io->error = errno;
    return 0;
  }
  *written = static_cast<size_t>(n);
  return 1;
}

int SocketRead(BIO* bio, char* data, size_t size, size_t* read) {
  auto* io = static_cast<SocketIo*>(BIO_get_data(bio));
  ssize_t n;
  while ((n = recv(io->fd, data, size, 0)) < 0 && errno == EINTR) {
  }
  if (n <= 0) {
    io->error = n < 0 ? errno : 0;
    io->eof = n == 0;
    return 0;
  }
  *read = static_cast<size_t>(n);
  return 1;
}

long SocketCtrl(BIO* bio, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return static_cast<SocketIo*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
      return 0;
  }
}

const BIO_METHOD* SocketMethod() {
  static const Ssl::BioMethodPtr method = [] {
    Ssl::BioMethodPtr m(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qx socket"));
    Ssl::Check<QxMoxMsg::RuntimeException_t>(
        m != nullptr && BIO_meth_set_write_ex(m.get(), &SocketWrite) == 1 &&
            BIO_meth_set_read_ex(m.get(), &SocketRead) == 1 &&
            BIO_meth_set_ctrl(m.get(), &SocketCtrl) == 1,
        "socket BIO");
    return m;
  }();
  return method.get();
}

// TlsConnection is TLS over a client socket.
class TlsConnection final : public Connection {
 public:
  // TlsConnection runs the handshake over fd as a client of ctx. Throws ClientFailure.
  TlsConnection(QxMoxIo::Fd_t socket, SSL_CTX* ctx, const std::string& host, long timeoutMs)
      : Connection(std::move(socket)), m_ssl(SSL_new(ctx)) {
    m_io.fd = Fd();
    Ssl::BioPtr bio(BIO_new(SocketMethod()));
    if (!m_ssl || !bio) throw ClientFailure{"TLS setup: " + Ssl::ErrorText()};
    BIO_set_data(bio.get(), &m_io);
    BIO_set_init(bio.get(), 1);
    SSL_set_bio(m_ssl.get(), bio.get(), bio.get());
    bio.release();
    // A server name, not an address, goes into the handshake (RFC 6066).
    in6_addr address;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 &&
        inet_pton(AF_INET6, host.c_str(), &address) != 1) {
      SSL_set_tlsext_host_name(m_ssl.get(), host.c_str());
    }
    SetTimeout(timeoutMs);
    Begin();
    if (const int ok = SSL_connect(m_ssl.get()); ok != 1) {
      throw ClientFailure{"TLS handshake: " + Why(Failure(ok))};
    }
  }

  int Write(std::string_view head, std::string_view body) override {
    std::string all;
    all.reserve(head.size() + body.size());
    all.append(head).append(body);
    size_t written = 0;
    Begin();
    const int ok = SSL_write_ex(m_ssl.get(), all.data(), all.size(), &written);
    return ok == 1 ? 0 : Failure(ok);
  }

  ssize_t Read(char* data, size_t size) override {
    size_t read = 0;
    Begin();
    const int ok = SSL_read_ex(m_ssl.get(), data, size, &read);
    if (ok == 1) return static_cast<ssize_t>(read);
    if (SSL_get_error(m_ssl.get(), ok) == SSL_ERROR_ZERO_RETURN) return 0;
    return -Failure(ok);
  }

  std::string Why(int error) const override {
    return error == EPROTO ? m_tlsError : Connection::Why(error);
  }

 private:
  void Begin() {
    ERR_clear_error();
    m_io.error = 0;
  }
  // Failure returns the errno of a failed TLS call that returned ret: the socket's own, ECONNRESET
  // for a connection closed without the TLS close, EPROTO for a fault of the TLS layer.
  int Failure(int ret) {
    if (SSL_get_error(m_ssl.get(), ret) == SSL_ERROR_SYSCALL && m_io.error != 0) return m_io.error;
    if (m_io.eof) return ECONNRESET;
    m_tlsError = Ssl::ErrorText();
    return EPROTO;
  }

  SocketIo m_io;  // the BIO's data: declared before the connection that uses it
  Ssl::SslPtr m_ssl;
  std::string m_tlsError;
};

// TlsClient is a kept-alive client that proves one target id under one identity and trust.
// Every connection it makes is verified in its handshake, so a connection it reuses was.
struct TlsClient final : PooledClient {
  TlsClient(const std::string& host, int port, const Identity& id, const std::string& targetId)
      : PooledClient(host, port), ctx(SSL_CTX_new(TLS_client_method())) {
    if (!ctx) QxMoxMsg::ThrowRuntime("no TLS client context: " + Ssl::ErrorText());
    Setup(ctx.get(), id);
    state.targetId = targetId;
    SSL_CTX_set_app_data(ctx.get(), &state);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, &ClientVerify);
  }
  // The connection goes first: its handshake reaches state through the context.
  ~TlsClient() override { Link().reset(); }
  std::unique_ptr<Connection> Open(QxMoxIo::Fd_t fd, long timeoutMs) override {
    return std::make_unique<TlsConnection>(std::move(fd), ctx.get(), Host(), timeoutMs);
  }

  VerifyState state;  // the context's app data: declared first, destroyed last
  SslCtxPtr ctx;
};

class Tls final : public Transport {
 public:
  const char* Scheme() const override { return "https"; }
  int DefaultPort(const Settings& s) const override { return s.tlsPort; }

  ClientPool::Lease Take(const std::string& host, int port,
                         const PostRequest& request) const override {
    Identity id = Identity::Load(true);
    std::string key =
        ClientPool::Key({Scheme(), host, std::to_string(port), request.targetId, id.Fingerprint()});
    return ClientPool::Shared().Take(key,
                                     [host, port, id = std::move(id), targetId = request.targetId] {
                                       return std::make_unique<TlsClient>(host, port, id, targetId);
                                     });
  }

  [[noreturn]] void Throw(const PooledClient& client, const PostRequest& request,
                          const std::string& why) const override {
    const std::string& host = client.Host();
    const VerifyState& verified = static_cast<const TlsClient&>(client).state;
    if (verified.targetMismatch) {
      throw TargetIDFailureException(
          QxMoxMsg::CreateError_t("https://" + host + ":" + std::to_string(client.Port()) +
                                  " did not prove target id '" + request.targetId + "'"));
    }
    const std::string chain =
        verified.chainError.empty() ? "" : " (server certificate: " + verified.chainError + ")";
    throw PostFailure("HTTPS", host, client.Port(), request, why + chain);
  }

  SslCtxPtr MakeServerContext() const override {
    // A process whose key store cannot be read has no TLS identity: it serves plain http only.
    Identity id;
    try {
      id = Identity::Load(false);
      if (id.HasIdentity()) id = Identity::Load(true);
    } catch (const QxMoxMsg::Exception_t& e) {
      g_trace.Get().Trace(1, (std::string("no TLS listener: ") + e.what()).c_str(), __FILE__,
                          __LINE__);
      return nullptr;
    }
    if (!id.HasIdentity()) return nullptr;
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
      throw HttpException(
          QxMoxMsg::CreateError_t("cannot set up the TLS listener: " + Ssl::ErrorText()), 0);
    }
    Setup(ctx.get(), id);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, &ServerVerify);
    // Trust is read per connection from its own handshake; no session is resumed.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    return ctx;
  }

  void FillPeer(const SSL* ssl, bool& secure, bool& trusted,
                std::string& commonName) const override {
    secure = true;
    trusted = false;
    commonName.clear();
    if (ssl == nullptr) return;
    X509* peer = SSL_get0_peer_certificate(ssl);
    if (peer == nullptr) return;
    trusted = SSL_get_verify_result(ssl) == X509_V_OK;
    commonName = CommonName(peer);
  }
};

}  // namespace

// OpenSSL's TLS part is set up when this library loads, before any thread uses it. A process
// that loads libssl without setting it up ends with OpenSSL's provider state unfreed at exit
// (LeakSanitizer reports it in every test program).
[[maybe_unused]] const int kTlsLibraryReady = OPENSSL_init_ssl(0, nullptr);

const Transport& TlsTransport() {
  static const Tls tls;
  return tls;
}

}  // namespace QxZebHttp
