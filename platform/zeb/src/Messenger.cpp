#include <optional>
#include <utility>

#include "MessengerImpl.h"
#include "qxmox/Exception.h"

namespace QxZebMsg {

namespace {

// OutgoingMsgImpl is the body of an outgoing message.
struct OutgoingMsgImpl : QxZebCore::ObjectBody {
  std::shared_ptr<MessengerImpl> messenger;
  QxMoxNet::URI_t uri;
  OutputMsg::Options options;
  QxMoxIo::CharArrayOutputStream_t body;
  std::optional<QxZebHttp::PendingPost> post;  // sent, its answer not yet read
  std::optional<IncomingReply> reply;          // read
};

std::string AdvertisedHost(const std::string& listenAddr) {
  if (listenAddr.empty() || listenAddr == "0.0.0.0" || listenAddr == "::") {
    return QxMoxNet::InetAddress_t::GetLocalHost().GetHostAddress().ToUtf8();
  }
  return listenAddr;
}

std::string Address(const char* scheme, const std::string& host, int port,
                    const std::string& basePath) {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(scheme) + "://" + h + ":" + std::to_string(port) +
         (basePath == "/" ? "/" : basePath + "/");
}

// ListenPorts are the ports a messenger listens on: SERVER_PORT, else an ephemeral port with
// RegisterWithCb, else the default ports of both schemes (a URI without a port reaches either).
std::vector<int> ListenPorts(const MessengerImpl& m) {
  if (m.settings.serverPort >= 0) return {m.settings.serverPort};
  if (m.options.IsRegisterWithCb()) return {0};
  return {m.settings.port, m.settings.tlsPort};
}

}  // namespace

std::shared_ptr<MessengerImpl> MessengerAccess::Get(const Messenger& messenger) {
  return std::static_pointer_cast<MessengerImpl>(messenger.GetBodyPtr());
}

MessengerImpl::~MessengerImpl() { Close(); }

void MessengerImpl::Close() {
  std::map<MsgHandler*, std::pair<std::string, std::shared_ptr<HandlerGate>>> routes;
  std::vector<std::shared_ptr<Listener>> all;
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    closed = true;
    routes.swap(registered);
    all.swap(listeners);
  }
  for (auto& [handler, entry] : routes) {
    for (auto& l : all) l->RemoveRoute(entry.first);
    entry.second->WaitIdle();
  }
}

QxZebHttp::PendingPost MessengerImpl::Post(const QxMoxNet::URI_t& uri,
                                           QxZebHttp::PostRequest request, long timeoutMs,
                                           bool acceptStatus500) {
  {
    std::lock_guard lock(mutex);
    if (closed) QxMoxMsg::ThrowIllegalState("send on a closed messenger");
  }
  request.timeoutMs = timeoutMs > 0 ? timeoutMs : settings.timeoutMs;
  if (!baseAddress.empty()) request.headers.emplace_back("X-Qx-From", baseAddress);
  return QxZebHttp::PendingPost(uri, settings, std::move(request), acceptStatus500);
}

Messenger::Messenger(const QxMoxConfig::Configuration_t& configuration, const Options& options)
    : Object(std::make_shared<MessengerImpl>()) {
  MessengerImpl& m = RequireBody<MessengerImpl>();
  m.settings = QxZebHttp::Settings::Load(configuration);
  m.options = options;
  m.basePath = NormalizePath(options.GetBasePath().ToUtf8());
  if (options.IsSendOnly()) return;
  const std::string& addr = m.settings.listenAddr;
  const std::string host = AdvertisedHost(addr);
  for (int port : ListenPorts(m)) m.listeners.push_back(Listener::Acquire(addr, port));
  m.baseAddress = Address("http", host, m.listeners.front()->GetPort(), m.basePath);
  if (m.listeners.back()->ServesTls())
    m.tlsBaseAddress = Address("https", host, m.listeners.back()->GetPort(), m.basePath);
}

void Messenger::Register(MsgHandler* handler, bool relative, int authenticationValue) {
  if (handler == nullptr) QxMoxMsg::ThrowIllegalArgument("Register: null message handler");
  MessengerImpl& m = RequireBody<MessengerImpl>();
  if (authenticationValue < 0) authenticationValue = m.options.GetAuthenticationMethod();
  if (authenticationValue > 2) QxMoxMsg::ThrowIllegalArgument("Register: authentication value");
  const std::string sub = handler->GetBasePath().ToUtf8();
  const std::string path = relative ? JoinPath(m.basePath, sub) : NormalizePath(sub);
  std::lock_guard lock(m.mutex);
  if (m.closed || m.listeners.empty())
    QxMoxMsg::ThrowIllegalState("Register on a messenger that does not listen");
  if (auto it = m.registered.find(handler); it != m.registered.end()) {
    if (it->second.second == handler->GetGate()) {
      QxMoxMsg::ThrowIllegalArgument("handler registered already");
    }
    // A handler destroyed without Deregister left its entry; a new one now has its address.
    for (auto& l : m.listeners) l->RemoveRoute(it->second.first);
    m.registered.erase(it);
  }
  Route route{handler->GetGate(), authenticationValue};
  for (size_t i = 0; i < m.listeners.size(); ++i) {
    try {
      m.listeners[i]->AddRoute(path, route);
    } catch (...) {
      while (i-- > 0) m.listeners[i]->RemoveRoute(path);
      throw;
    }
  }
  m.registered.emplace(handler, std::make_pair(path, handler->GetGate()));
}

void Messenger::Deregister(MsgHandler* handler, bool wait) {
  MessengerImpl& m = RequireBody<MessengerImpl>();
  std::shared_ptr<HandlerGate> gate;
  {
    std::lock_guard lock(m.mutex);
    auto it = m.registered.find(handler);
    if (it == m.registered.end()) return;
    for (auto& l : m.listeners) l->RemoveRoute(it->second.first);
    gate = it->second.second;
    m.registered.erase(it);
  }
  if (wait) gate->WaitIdle();
}

String_t Messenger::GetBaseCbAddress() const { return RequireBody<MessengerImpl>().baseAddress; }

String_t Messenger::GetTlsBaseCbAddress() const {
  return RequireBody<MessengerImpl>().tlsBaseAddress;
}

long Messenger::GetTimeout() const { return RequireBody<MessengerImpl>().settings.timeoutMs; }

OutgoingMsg Messenger::CreateMsg(const QxMoxNet::URI_t& uri, const OutputMsg::Options& options) {
  auto body = std::make_shared<OutgoingMsgImpl>();
  body->messenger = MessengerAccess::Get(*this);
  if (!body->messenger) QxMoxMsg::ThrowIllegalState("CreateMsg on a null messenger");
  QxZebHttp::TransportFor(uri.GetScheme().ToUtf8());  // refuse an unknown scheme now
  body->uri = uri;
  body->options = options;
  return OutgoingMsg(body);
}

void Messenger::Close() { RequireBody<MessengerImpl>().Close(); }

QxMoxIo::OutputStream_t& OutgoingMsg::GetOutputStream() {
  return RequireBody<OutgoingMsgImpl>().body;
}

void OutgoingMsg::Send() {
  OutgoingMsgImpl& msg = RequireBody<OutgoingMsgImpl>();
  if (msg.post || msg.reply) return;
  QxZebHttp::PostRequest request;
  request.body = msg.body.ToCharArray().ToStdString();
  request.contentType = msg.options.GetContentType().ToUtf8();
  request.targetId = msg.options.GetTargetID().ToUtf8();
  QxZebHttp::PendingPost post =
      msg.messenger->Post(msg.uri, std::move(request), msg.options.GetTimeout(), false);
  post.Send();
  msg.post.emplace(std::move(post));
}

IncomingReply OutgoingMsg::ReceiveReply() {
  OutgoingMsgImpl& msg = RequireBody<OutgoingMsgImpl>();
  if (msg.reply) return *msg.reply;
  Send();
  // Whatever happens, the answer is read once: after a failure a new call sends again.
  const QxZebHttp::PostResult result = std::exchange(msg.post, std::nullopt)->Receive();
  msg.reply.emplace(result.status, QxMoxArray::CharArray_t(std::string_view(result.body)),
                    result.contentType);
  return *msg.reply;
}

}  // namespace QxZebMsg
