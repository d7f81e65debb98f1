// The HTTP transports (plain and TLS) behind messengers and calls, and the [zeb.http] settings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ClientPool.h"
#include "OpenSslPtr.h"
#include "qxmox/Config.h"
#include "qxmox/Net.h"
#include "qxzeb/Exceptions.h"

namespace QxZebHttp {

// Settings are the transport's settings: a key of the caller's private configuration wins over
// the same key in [zeb.http], which wins over the default.
struct Settings {
  int port = 15080;
  int tlsPort = 15443;
  int serverPort = -1;  // SERVER_PORT of the private configuration, -1 when unset
  std::string listenAddr = "0.0.0.0";
  long timeoutMs = 30000;
  static Settings Load(const QxMoxConfig::Configuration_t& privateConfig);
};

// Headers are header fields of a request beyond those every POST carries, in order.
using Headers = std::vector<std::pair<std::string, std::string>>;

// PostRequest is one POST.
struct PostRequest {
  std::string path;
  std::string body;
  std::string contentType;
  Headers headers;
  long timeoutMs = 30000;
  std::string targetId;  // https only: the peer's subject common name must equal it
};

struct PostResult {
  int status = 0;
  std::string body;
  std::string contentType;
};

// Transport is one URI scheme's way to post and to serve. The implementations are a table
// filled once (http, https), looked up by scheme.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual const char* Scheme() const = 0;
  // DefaultPort is the port of a URI of this scheme that names none.
  virtual int DefaultPort(const Settings& settings) const = 0;
  // Take returns a lease on a pooled client for request to host:port (a new one when none is
  // idle).
  virtual ClientPool::Lease Take(const std::string& host, int port,
                                 const PostRequest& request) const = 0;
  // Throw throws the exception of request failing for why on client: HttpException (status 0),
  // TargetIDFailureException when the peer did not prove the request's target id.
  [[noreturn]] virtual void Throw(const PooledClient& client, const PostRequest& request,
                                  const std::string& why) const = 0;
  // MakeServerContext returns the TLS context a listener serves this scheme with; null when the
  // scheme needs none (http) or the process has no TLS identity.
  virtual QxSecCore::Ssl::SslCtxPtr MakeServerContext() const = 0;
  // FillPeer fills what the transport knows about the caller of a served request; ssl is the
  // connection's TLS state, null for plain http.
  virtual void FillPeer(const SSL* ssl, bool& secure, bool& trusted,
                        std::string& commonName) const = 0;
};

// TransportFor returns the transport of scheme ("http", "https"); throws
// QxMoxMsg::IllegalArgumentError_t for another.
const Transport& TransportFor(const std::string& scheme);

// PendingPost is one POST in two halves on one kept-alive connection: Send writes the request,
// Receive reads its answer and puts the connection back into the pool when it may serve another
// call. Several posts may be sent before any answer is read, each on a connection of its own.
// A post destroyed between the halves closes its connection with the answer unread. Not
// thread-safe; movable.
class PendingPost {
 public:
  // PendingPost prepares request to uri (its path is used unless request.path is set); Receive
  // takes a status 500 for an answer when acceptStatus500. Throws QxMoxMsg::IllegalArgumentError_t
  // for a URI without host or of another scheme than http and https.
  PendingPost(const QxMoxNet::URI_t& uri, const Settings& settings, PostRequest request,
              bool acceptStatus500);
  PendingPost(PendingPost&&) noexcept = default;
  // Send writes the request unless it is written and its answer not yet read. Throws
  // HttpException when no connection takes it, TargetIDFailureException for a wrong peer
  // identity.
  void Send();
  // Receive sends the request when it is not written, reads the answer and returns it; a later
  // Send writes the request again. Throws what Send throws, and HttpException when no answer
  // arrives within the request's timeout or its status is not 200 (nor an accepted 500).
  PostResult Receive();

 private:
  const Transport* m_transport;
  std::string m_host;
  int m_port;
  std::string m_uri;  // for the texts of failures
  PostRequest m_request;
  bool m_acceptStatus500;
  std::optional<ClientPool::Lease> m_lease;  // the client whose connection holds the answer
};

// SendPost writes request on the leased client's connection, opened when it has none. A failure
// on a reused connection that proves the request unhandled is retried once on a new connection.
// Throws ClientFailure.
void SendPost(ClientPool::Lease& lease, const PostRequest& request);

// ReceivePost reads the answer to request, written by SendPost on the lease, and puts the client
// back into the pool when its connection may serve another call. A reused connection that ends
// before any byte of the answer is renewed once: the request is sent again there and its answer
// read. Throws ClientFailure.
PostResult ReceivePost(ClientPool::Lease& lease, const PostRequest& request);

// PostFailure returns the exception of a POST to host:port that failed for why; protocol names
// the scheme in the text ("HTTP", "HTTPS").
HttpException PostFailure(const char* protocol, const std::string& host, int port,
                          const PostRequest& request, const std::string& why);

}  // namespace QxZebHttp
