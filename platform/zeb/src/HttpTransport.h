// The HTTP transports (plain and TLS) behind messengers and calls, and the [zeb.http] settings.
#pragma once

#include <memory>
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
  // Post sends the request and returns the answer whatever its status. Throws HttpException
  // when no answer arrives (status 0), TargetIDFailureException for a wrong peer identity.
  virtual PostResult Post(const std::string& host, int port, const PostRequest& request) const = 0;
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

// Post sends a request to uri (its path is used unless request.path is set). Throws
// HttpException also for an answer whose status is not 200 unless acceptStatus500 and the
// status is 500.
PostResult Post(const QxMoxNet::URI_t& uri, const Settings& settings, PostRequest request,
                bool acceptStatus500);

// DoPost posts request through the leased client and puts the client back into the pool when
// its connection may serve another call. On failure it returns an empty result and sets why
// (empty on success). A failure on a reused connection that proves the request unhandled is
// retried once on a new connection.
PostResult DoPost(ClientPool::Lease& lease, const PostRequest& request, std::string& why);

// PostFailure returns the exception of a POST to host:port that failed for why; protocol names
// the scheme in the text ("HTTP", "HTTPS").
HttpException PostFailure(const char* protocol, const std::string& host, int port,
                          const PostRequest& request, const std::string& why);

}  // namespace QxZebHttp
