// Messages: outgoing messages and their replies, incoming messages and the handler interface.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "qxmox/CharArray.h"
#include "qxmox/Io.h"
#include "qxmox/Net.h"
#include "qxmox/String.h"
#include "qxzeb/Object.h"

namespace QxZebMsg {

using QxMoxStr::String_t;

class HandlerGate;
struct ReplyState;

// OutputMsg holds the options of outgoing messages and replies.
class OutputMsg {
 public:
  // Options: the call's timeout (milliseconds; 0 or less means the messenger's TIMEOUT_MS),
  // the body's content type (application/octet-stream unless set) and, for https, the
  // identity the callee must prove (its certificate's subject common name; empty: any trusted
  // callee).
  class Options {
   public:
    Options& SetTimeout(long milliseconds) {
      m_timeoutMs = milliseconds;
      return *this;
    }
    Options& SetContentType(const String_t& type) {
      m_contentType = type;
      return *this;
    }
    Options& SetTargetID(const String_t& id) {
      m_targetId = id;
      return *this;
    }
    long GetTimeout() const { return m_timeoutMs; }
    const String_t& GetContentType() const { return m_contentType; }
    const String_t& GetTargetID() const { return m_targetId; }

   private:
    long m_timeoutMs = 0;
    String_t m_contentType = "application/octet-stream";
    String_t m_targetId;
  };
};

// IncomingReply is the answer to an outgoing message: the HTTP response's status and body.
class IncomingReply {
 public:
  IncomingReply() = default;
  IncomingReply(int status, QxMoxArray::CharArray_t body, String_t contentType)
      : m_status(status), m_body(std::move(body)), m_contentType(std::move(contentType)) {}
  int GetStatus() const { return m_status; }
  const QxMoxArray::CharArray_t& GetBody() const { return m_body; }
  const String_t& GetContentType() const { return m_contentType; }
  // GetInputStream returns a stream over a copy of the body.
  QxMoxIo::CharArrayInputStream_t GetInputStream() const {
    return QxMoxIo::CharArrayInputStream_t(m_body);
  }

 private:
  int m_status = 0;
  QxMoxArray::CharArray_t m_body;
  String_t m_contentType;
};

// OutgoingMsg is a message being written: the caller writes the body, Send posts it and
// ReceiveReply reads the answer. Sending several messages before reading their replies overlaps
// their round trips; each message holds a connection of its own until its reply is read, and one
// destroyed before that closes its connection. Copies share one message. Made by
// Messenger::CreateMsg.
class OutgoingMsg : public QxZebCore::Object {
 public:
  OutgoingMsg() = default;
  // GetOutputStream returns the body's stream (valid while a handle lives).
  QxMoxIo::OutputStream_t& GetOutputStream();
  void Write(const void* data, size_t length) { GetOutputStream().Write(data, length); }
  void Write(const QxMoxArray::CharArray_t& bytes) { GetOutputStream().Write(bytes); }
  // Send writes the body to the callee and returns without waiting for the answer; a second
  // call does nothing. Throws QxZebHttp::HttpException when there is no connection or the time
  // runs out, QxZebHttp::TargetIDFailureException when an https callee does not prove the
  // target id.
  void Send();
  // ReceiveReply sends the message when not yet sent, reads the answer once and returns the
  // reply (the same one on later calls). Throws what Send throws, and
  // QxZebHttp::HttpException when the answer does not arrive in time or its status is not 200;
  // after such a failure the message may be sent again.
  IncomingReply ReceiveReply();

  // Internal: built by the messenger.
  explicit OutgoingMsg(std::shared_ptr<QxZebCore::ObjectBody> body) : Object(std::move(body)) {}
};

// OutgoingReply is the answer being written to an incoming message; it goes out as the HTTP
// response when the handler's Process returns. Copies share one reply.
class OutgoingReply : public QxZebCore::Object {
 public:
  OutgoingReply() = default;
  QxMoxIo::OutputStream_t& GetOutputStream();
  void Write(const void* data, size_t length) { GetOutputStream().Write(data, length); }
  void Write(const QxMoxArray::CharArray_t& bytes) { GetOutputStream().Write(bytes); }
  // SetStatus sets the HTTP status (200 unless set).
  void SetStatus(int status);
  // Send marks the reply complete; it is sent when Process returns.
  void Send();

  // Internal: built by IncomingMsg::CreateReply.
  explicit OutgoingReply(std::shared_ptr<QxZebCore::ObjectBody> body) : Object(std::move(body)) {}
};

// IncomingMsg is a received message, handed to MsgHandler::Process. The library owns it; it is
// valid during Process only.
class IncomingMsg {
 public:
  struct Data {
    std::string method = "POST";  // POST, or GET for a handler that accepts it
    std::string path;
    std::string contentType;
    QxMoxArray::CharArray_t body;
    std::string from;         // X-Qx-From header, empty when absent
    std::string peerAddress;  // the caller's IP address
    std::map<std::string, std::string> headers;
    bool secure = false;             // arrived over TLS
    bool trustedClientCert = false;  // the TLS caller presented a certificate chaining to a root
    std::string peerCommonName;      // that certificate's subject common name
  };
  explicit IncomingMsg(Data data);
  ~IncomingMsg();
  IncomingMsg(const IncomingMsg&) = delete;
  IncomingMsg& operator=(const IncomingMsg&) = delete;

  const QxMoxArray::CharArray_t& GetBody() const { return m_data.body; }
  QxMoxIo::CharArrayInputStream_t GetInputStream() const {
    return QxMoxIo::CharArrayInputStream_t(m_data.body);
  }
  // GetMethod returns the HTTP method: "POST", or "GET" for a handler whose AcceptsGet is true.
  const std::string& GetMethod() const { return m_data.method; }
  String_t GetPath() const { return m_data.path; }
  String_t GetContentType() const { return m_data.contentType; }
  // GetFrom returns the sender's base callback address (X-Qx-From); empty for a sender that
  // does not listen.
  String_t GetFrom() const { return m_data.from; }
  // GetPeerAddress returns the caller's IP address.
  String_t GetPeerAddress() const { return m_data.peerAddress; }
  // GetHeader returns a request header (name in lower case), empty when absent.
  String_t GetHeader(const std::string& lowerName) const;
  bool IsSecure() const { return m_data.secure; }
  bool HasTrustedClientCertificate() const { return m_data.trustedClientCert; }
  String_t GetPeerCommonName() const { return m_data.peerCommonName; }
  bool IsLoopback() const;
  // Allows tells whether the caller passes an authentication value: 0 anyone; 1 a loopback
  // caller or one with a trusted client certificate; 2 only the latter.
  bool Allows(int authenticationValue) const;
  // CreateReply returns the reply (the same one on every call).
  OutgoingReply CreateReply(const OutputMsg::Options& options = OutputMsg::Options());

  // Internal: what the handler answered.
  int GetReplyStatus() const;
  std::string TakeReplyBody();
  std::string GetReplyContentType() const;

 private:
  Data m_data;
  std::shared_ptr<ReplyState> m_reply;
};

// MsgHandler receives messages under its base path. The library calls Attach before and Detach
// after each Process; with IsThreadSafe true it may call Process on several threads at once,
// otherwise one call at a time. A subclass whose members Process uses calls WaitForCalls first
// in its destructor, so calls in progress finish before those members go away.
class MsgHandler {
 public:
  MsgHandler();
  // ~MsgHandler refuses new calls and waits for the calls in progress.
  virtual ~MsgHandler();
  MsgHandler(const MsgHandler&) = delete;
  MsgHandler& operator=(const MsgHandler&) = delete;
  // Authenticate may refuse a caller (HTTP 403; Process is then not called).
  virtual bool Authenticate(const IncomingMsg& /*msg*/) { return true; }
  // Process handles one message; an exception escaping it answers HTTP 500.
  virtual void Process(IncomingMsg& msg) = 0;
  // GetBasePath returns the path the handler serves, below the messenger's base path.
  virtual String_t GetBasePath() const = 0;
  virtual bool IsThreadSafe() const { return true; }
  virtual bool IsMemoryBased() const { return true; }
  // AcceptsGet tells whether GET requests reach Process (a status page); every other handler
  // answers them with HTTP 405. A message is a POST.
  virtual bool AcceptsGet() const { return false; }
  virtual void Attach() {}
  virtual void Detach() {}
  // WaitForCalls refuses new calls (they get HTTP 503) and returns when no call is in
  // progress. It must not be called from inside this handler's Process.
  void WaitForCalls();

  // Internal: the dispatch gate shared with the messengers that route to this handler.
  const std::shared_ptr<HandlerGate>& GetGate() const { return m_gate; }

 private:
  std::shared_ptr<HandlerGate> m_gate;
};

}  // namespace QxZebMsg
