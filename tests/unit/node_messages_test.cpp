// The certificate request and response messages: written by one side, read by the other.
#include <gtest/gtest.h>

#include <cstring>
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

CharArray_t Text(const std::string& text) { return CharArray_t(text); }

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

CharArray_t WrittenRequest(const CharArray_t& installKey, const String_t& installId) {
  QxMoxIo::CharArrayOutputStream_t out;
  RequestMessage::Write(out, Sample(), Csr(), installKey, installId);
  return out.ToCharArray();
}

RequestMessage::Body ReadRequest(const CharArray_t& bytes, const CharArray_t& installKey) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  RequestMessage message(in);
  return message.ReadBody(message.UnwrapKey(installKey));
}

ResponseMessage Granted() {
  ResponseMessage response;
  response.returnCode = ResponseMessage::GRANTED;
  response.requestId = String_t(u"req-\u00e9-1");
  response.certificate = Text("-----BEGIN CERTIFICATE-----\nnode\n");
  response.trustedCerts = {Text("root one"), CharArray_t(), Text("root three")};
  return response;
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

// Sealed builds a message by hand: head (written on a data stream), then body enciphered under
// key, so tests can put any length into either part.
CharArray_t Sealed(const std::function<void(QxMoxIo::DataOutputStream_t&)>& head,
                   const MessageKey& key,
                   const std::function<void(QxMoxIo::DataOutputStream_t&)>& body) {
  QxMoxIo::CharArrayOutputStream_t out;
  QxMoxIo::DataOutputStream_t headOut(out);
  head(headOut);
  QxSecIo::CipherOutputStream enciphered(out, key.Encipherer());
  QxMoxIo::DataOutputStream_t bodyOut(enciphered);
  body(bodyOut);
  bodyOut.Close();
  return out.ToCharArray();
}

int MessageNumber(const std::function<void()>& read) {
  try {
    read();
  } catch (const QxMoxMsg::Exception_t& e) {
    return e.GetMessageList()[0].GetNumber();
  }
  ADD_FAILURE() << "read was not refused";
  return -1;
}

class NodeMessages : public QxTest::HomeTest {};

}  // namespace

TEST_F(NodeMessages, RequestTravelsWithEitherInstallationIdForm) {
  const CharArray_t installKey = Text("installation key 7");
  for (const bool withKey : {false, true}) {
    SCOPED_TRACE(withKey ? "installation key" : "platform key");
    const CharArray_t bytes =
        WrittenRequest(withKey ? installKey : CharArray_t(), String_t("inst-7"));
    QxMoxIo::CharArrayInputStream_t in(bytes);
    RequestMessage message(in);
    EXPECT_EQ(message.GetInstallId(), String_t(withKey ? "inst-7" : "0"));
    EXPECT_EQ(message.HasInstallKey(), withKey);
    const auto body = message.ReadBody<QxSecCm::CertRequest_ex>(message.UnwrapKey(installKey));
    EXPECT_EQ(QxTest::Describe(body.request), QxTest::Describe(Sample()));
    EXPECT_EQ(body.csr, Csr());

    // A message key under an installation key opens only with that key.
    if (withKey) {
      EXPECT_THROW(ReadRequest(bytes, Text("another key")), QxMoxIo::IOException_t);
      EXPECT_THROW(ReadRequest(bytes, CharArray_t()), QxMoxIo::IOException_t);
    }
    // The body opens only with its message key.
    QxMoxIo::CharArrayInputStream_t again(bytes);
    RequestMessage other(again);
    EXPECT_THROW(other.ReadBody(MessageKey::Generate()), QxMoxIo::IOException_t);
  }
}

TEST_F(NodeMessages, ResponseCarriesCertificatesOnlyWhenGranted) {
  const ResponseMessage granted = ReadResponse(WrittenResponse(Granted()));
  EXPECT_EQ(granted.returnCode, ResponseMessage::GRANTED);
  EXPECT_EQ(granted.requestId, Granted().requestId);
  EXPECT_EQ(granted.certificate, Granted().certificate);
  EXPECT_EQ(granted.trustedCerts, Granted().trustedCerts);

  for (const int32_t code : {int32_t{ResponseMessage::DENIED}, int32_t{ResponseMessage::DUPLICATE}, 7, -1}) {
    SCOPED_TRACE(code);
    ResponseMessage response = Granted();
    response.returnCode = code;
    const ResponseMessage read = ReadResponse(WrittenResponse(response));
    EXPECT_EQ(read.returnCode, code);
    EXPECT_EQ(read.requestId, response.requestId);
    EXPECT_TRUE(read.certificate.IsEmpty());
    EXPECT_TRUE(read.trustedCerts.empty());
  }

  CharArray_t altered = WrittenResponse(Granted());
  altered[altered.GetSize() - 20] ^= 1;
  EXPECT_THROW(ReadResponse(altered), QxMoxIo::IOException_t);
}

TEST_F(NodeMessages, MessagesCutAtAnyByteAreRefused) {
  const CharArray_t installKey = Text("k");
  const CharArray_t request = WrittenRequest(installKey, String_t("inst"));
  for (size_t size = 0; size < request.GetSize(); ++size) {
    SCOPED_TRACE("request cut to " + std::to_string(size));
    EXPECT_THROW(ReadRequest(CharArray_t(request.GetData(), size), installKey),
                 QxMoxMsg::Exception_t);
  }
  const CharArray_t response = WrittenResponse(Granted());
  for (size_t size = 0; size < response.GetSize(); ++size) {
    SCOPED_TRACE("response cut to " + std::to_string(size));
    EXPECT_THROW(ReadResponse(CharArray_t(response.GetData(), size)), QxMoxMsg::Exception_t);
  }
}

TEST_F(NodeMessages, ForgedLengthsAreCorruptNotAllocations) {
  const MessageKey key = MessageKey::Generate();
  const CharArray_t wrapped = key.Wrap();
  const auto keyHead = [&](QxMoxIo::DataOutputStream_t& out) {
    out.WriteInt32(static_cast<int32_t>(wrapped.GetSize()));
    out.Write(wrapped);
  };
  const auto requestHead = [&](QxMoxIo::DataOutputStream_t& out) {
    out.WriteUTF16String(String_t("0"));
    keyHead(out);
  };
  const auto grantedWith = [&](int32_t certLength, int32_t count) {
    return [=](QxMoxIo::DataOutputStream_t& out) {
      out.WriteInt32(ResponseMessage::GRANTED);
      out.WriteUTF16String(String_t("id"));
      out.WriteInt32(certLength);
      if (certLength == 1) out.Write('c');
      out.WriteInt32(count);
      out.WriteInt32(1 << 30);  // the first trusted certificate's length, when count lets it
    };
  };
  const auto none = [](QxMoxIo::DataOutputStream_t&) {};

  for (const int32_t length : {0x7fffffff, -1, 0}) {
    SCOPED_TRACE("key length " + std::to_string(length));
    const auto forgedHead = [&](QxMoxIo::DataOutputStream_t& out) { out.WriteInt32(length); };
    EXPECT_EQ(MessageNumber([&] { ReadResponse(Sealed(forgedHead, key, none)); }), 47);
    const auto forgedRequestHead = [&](QxMoxIo::DataOutputStream_t& out) {
      out.WriteUTF16String(String_t("0"));
      out.WriteInt32(length);
    };
    EXPECT_THROW(ReadRequest(Sealed(forgedRequestHead, key, none), {}), QxMoxIo::IOException_t);

    const auto forgedCsr = [&](QxMoxIo::DataOutputStream_t& out) {
      Sample()->WriteTo(&out);
      out.WriteInt32(length == 0 ? 5 : length);
    };
    EXPECT_THROW(ReadRequest(Sealed(requestHead, key, forgedCsr), {}), QxMoxIo::IOException_t);
    if (length != 0) {
      EXPECT_EQ(MessageNumber([&] { ReadResponse(Sealed(keyHead, key, grantedWith(length, 0))); }),
                48);
      EXPECT_EQ(MessageNumber([&] { ReadResponse(Sealed(keyHead, key, grantedWith(1, length))); }),
                48);
    }
  }
  // A count that the data could hold, whose first entry claims far more than is there.
  EXPECT_EQ(MessageNumber([&] { ReadResponse(Sealed(keyHead, key, grantedWith(1, 1))); }), 48);
#if QX_TRACK_ALLOCATIONS
  EXPECT_LT(g_largestAllocation.load(), 1u << 20);
#endif
}
