#include <algorithm>

#include "qxzeb/Message.h"

namespace QxZebMsg {

// ReplyState is the body shared by an incoming message and the replies made from it.
struct ReplyState : QxZebCore::ObjectBody {
  QxMoxIo::CharArrayOutputStream_t body;
  std::string contentType = "application/octet-stream";
  int status = 200;
  bool sent = false;
};

IncomingMsg::IncomingMsg(Data data) : m_data(std::move(data)) {}

IncomingMsg::~IncomingMsg() = default;

String_t IncomingMsg::GetHeader(const std::string& lowerName) const {
  auto it = m_data.headers.find(lowerName);
  return it == m_data.headers.end() ? String_t() : String_t(it->second);
}

bool IncomingMsg::IsLoopback() const {
  const std::string& a = m_data.peerAddress;
  return a.starts_with("127.") || a == "::1" || a.starts_with("::ffff:127.");
}

bool IncomingMsg::Allows(int authenticationValue) const {
  switch (authenticationValue) {
    case 0:
      return true;
    case 1:
      return IsLoopback() || m_data.trustedClientCert;
    default:
      return m_data.trustedClientCert;
  }
}

OutgoingReply IncomingMsg::CreateReply(const OutputMsg::Options& options) {
  if (!m_reply) {
    m_reply = std::make_shared<ReplyState>();
    m_reply->contentType = options.GetContentType().ToUtf8();
  }
  return OutgoingReply(m_reply);
}

int IncomingMsg::GetReplyStatus() const { return m_reply ? m_reply->status : 200; }

std::string IncomingMsg::TakeReplyBody() {
  return m_reply ? m_reply->body.ToCharArray().ToStdString() : std::string();
}

std::string IncomingMsg::GetReplyContentType() const {
  return m_reply ? m_reply->contentType : std::string("application/octet-stream");
}

QxMoxIo::OutputStream_t& OutgoingReply::GetOutputStream() { return RequireBody<ReplyState>().body; }

void OutgoingReply::SetStatus(int status) { RequireBody<ReplyState>().status = status; }

void OutgoingReply::Send() { RequireBody<ReplyState>().sent = true; }

}  // namespace QxZebMsg
