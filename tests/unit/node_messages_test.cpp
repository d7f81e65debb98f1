// The certificate request and response messages: written by one side, read by the other.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "AllocationTracker.h"
#include "RecordSamples.h"
#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "TestHome.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/CipherStream.h"

namespace {

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCm::MessageKey;
using QxSecCm::RequestMessage;
using QxSecCm::ResponseMessage;
using Writer = std::function<void(QxMoxIo::DataOutputStream_t&)>;

QxSecCm::CertRequest Sample() {
  auto request = QxTest::SampleRequest<QxSecCm::CertRequest>(4);
  request->SetPeerAddress(String_t());  // not part of the message
  return request;
}

const CharArray_t& Csr() {
  static const CharArray_t csr = [] {
    CharArray_t pem;
    QxSecCm::X509CertRequest(String_t("node4.example"), String_t("node4")).GetEncoded(pem);
    return pem;
  }();
  return csr;
}

CharArray_t WrittenRequest(const CharArray_t& installKey) {
  QxMoxIo::CharArrayOutputStream_t out;
  RequestMessage::Write(out, Sample(), Csr(), installKey, String_t("inst-7"));
  return out.ToCharArray();
}

RequestMessage::Body ReadRequest(const CharArray_t& bytes, const CharArray_t& installKey) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  RequestMessage message(in);
  return message.ReadBody(message.UnwrapKey(installKey));
}

ResponseMessage Granted() {
  return ResponseMessage{ResponseMessage::GRANTED,
                         String_t(u"req-\u00e9-1"),
                         CharArray_t(std::string_view("-----BEGIN CERTIFICATE-----\n")),
                         {CharArray_t(std::string_view("root one")), CharArray_t()}};
}

CharArray_t WrittenResponse(const ResponseMessage& response) {
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out);
  return out.ToCharArray();
}

ResponseMessage ReadResponse(const CharArray_t& bytes) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  return ResponseMessage::Read(in);
}

// Sealed builds a message by hand, head in the clear and body enciphered under key, so that
// either part can carry any length.
CharArray_t Sealed(const Writer& head, const MessageKey& key, const Writer& body) {
  QxMoxIo::CharArrayOutputStream_t out;
  QxMoxIo::DataOutputStream_t headOut(out);
  head(headOut);
  QxSecIo::CipherOutputStream enciphered(out, key.Encipherer());
  QxMoxIo::DataOutputStream_t bodyOut(enciphered);
  body(bodyOut);
  bodyOut.Close();
  return out.ToCharArray();
}

// RefusedWith returns the catalog number of the message that refused bytes as a response.
int RefusedWith(const CharArray_t& bytes) {
  try {
    ReadResponse(bytes);
  } catch (const QxMoxMsg::Exception_t& e) {
    return e.GetMessageList()[0].GetNumber();
  }
  return -1;
}

class NodeMessages : public QxTest::HomeTest {};

}  // namespace

TEST_F(NodeMessages, RequestTravelsWithEitherInstallationIdForm) {
  const CharArray_t installKey(std::string_view("installation key 7"));
  for (const bool withKey : {false, true}) {
    SCOPED_TRACE(withKey ? "installation key" : "platform key");
    const CharArray_t bytes = WrittenRequest(withKey ? installKey : CharArray_t());
    QxMoxIo::CharArrayInputStream_t in(bytes);
    RequestMessage message(in);
    EXPECT_EQ(message.GetInstallId(), String_t(withKey ? "inst-7" : "0"));
    EXPECT_EQ(message.HasInstallKey(), withKey);
    const auto body = message.ReadBody<QxSecCm::CertRequest_ex>(message.UnwrapKey(installKey));
    EXPECT_EQ(QxTest::Describe(body.request), QxTest::Describe(Sample()));
    EXPECT_EQ(body.csr, Csr());

    // The message key opens only with the installation key; the body only with its message key.
    if (withKey) {
      EXPECT_THROW(ReadRequest(bytes, CharArray_t(std::string_view("other"))),
                   QxMoxIo::IOException_t);
      EXPECT_THROW(ReadRequest(bytes, CharArray_t()), QxMoxIo::IOException_t);
    }
    QxMoxIo::CharArrayInputStream_t again(bytes);
    EXPECT_THROW(RequestMessage(again).ReadBody(MessageKey::Generate()), QxMoxIo::IOException_t);
  }
}

TEST_F(NodeMessages, ResponseCarriesCertificatesOnlyWhenGranted) {
  for (const int32_t code : {1, 2, 3, 7, -1}) {
    SCOPED_TRACE(code);
    ResponseMessage response = Granted();
    response.returnCode = code;
    const ResponseMessage read = ReadResponse(WrittenResponse(response));
    EXPECT_EQ(read.returnCode, code);
    EXPECT_EQ(read.requestId, response.requestId);
    EXPECT_EQ(read.certificate, code == 1 ? response.certificate : CharArray_t());
    EXPECT_EQ(read.trustedCerts.size(), code == 1 ? 2u : 0u);
    EXPECT_EQ(read.trustedCerts, code == 1 ? response.trustedCerts : std::vector<CharArray_t>());
  }
  CharArray_t altered = WrittenResponse(Granted());
  altered[altered.GetSize() - 20] ^= 1;
  EXPECT_THROW(ReadResponse(altered), QxMoxIo::IOException_t);
}

TEST_F(NodeMessages, MessagesCutAtAnyByteAreRefused) {
  const CharArray_t installKey(std::string_view("k"));
  const CharArray_t request = WrittenRequest(installKey);
  for (size_t size = 0; size < request.GetSize(); ++size) {
    EXPECT_THROW(ReadRequest(CharArray_t(request.GetData(), size), installKey),
                 QxMoxMsg::Exception_t)
        << "request cut to " << size;
  }
  const CharArray_t response = WrittenResponse(Granted());
  for (size_t size = 0; size < response.GetSize(); ++size) {
    EXPECT_THROW(ReadResponse(CharArray_t(response.GetData(), size)), QxMoxMsg::Exception_t)
        << "response cut to " << size;
  }
}

TEST_F(NodeMessages, ForgedLengthsAreCorruptNotAllocations) {
  const MessageKey key = MessageKey::Generate();
  const CharArray_t wrapped = key.Wrap();
  const Writer keyHead = [&](auto& out) {
    out.WriteInt32(static_cast<int32_t>(wrapped.GetSize()));
    out.Write(wrapped);
  };
  const Writer requestHead = [&](auto& out) {
    out.WriteUTF16String(String_t("0"));
    keyHead(out);
  };
  // granted(K, T, first): a granted body whose certificate claims K bytes (1 present), with T
  // trusted certificates of which the first claims `first` bytes.
  const auto granted = [&](int32_t certLength, int32_t count, int32_t first) {
    return Sealed(keyHead, key, [=](auto& out) {
      out.WriteInt32(ResponseMessage::GRANTED);
      out.WriteUTF16String(String_t("id"));
      out.WriteInt32(certLength);
      out.Write('c');
      out.WriteInt32(count);
      out.WriteInt32(first);
    });
  };
  for (const int32_t length : {0x7fffffff, -1, 0}) {
    SCOPED_TRACE(length);
    const Writer none = [](auto&) {};
    EXPECT_EQ(RefusedWith(Sealed([&](auto& out) { out.WriteInt32(length); }, key, none)), 47);
    const Writer forgedKey = [&](auto& out) {
      out.WriteUTF16String(String_t("0"));
      out.WriteInt32(length);
    };
    EXPECT_THROW(ReadRequest(Sealed(forgedKey, key, none), {}), QxMoxIo::IOException_t);
    const Writer forgedCsr = [&](auto& out) {
      Sample()->WriteTo(&out);
      out.WriteInt32(length == 0 ? 5 : length);
    };
    EXPECT_THROW(ReadRequest(Sealed(requestHead, key, forgedCsr), {}), QxMoxIo::IOException_t);
    if (length != 0) {
      EXPECT_EQ(RefusedWith(granted(length, 0, 0)), 48);
      EXPECT_EQ(RefusedWith(granted(1, length, 0)), 48);
      EXPECT_EQ(RefusedWith(granted(1, 1, length)), 48);
    }
  }
#if QX_TRACK_ALLOCATIONS
  EXPECT_LT(g_largestAllocation.load(), 1u << 20);
#endif
}
