// Structured SOAP arguments: records written into an envelope and read back through the
// messaging library's parser, plus hand-written and broken documents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordSamples.h"
#include "qxmox/Exception.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/UseCertReq.h"
#include "qxzeb/Exceptions.h"

using namespace QxSecCm;
using QxMoxStr::String_t;
using QxZebSoap::SOAPArg;

namespace {

std::string Write(std::vector<SOAPArg*> args) {
  QxZebSoap::SOAPEnvelope env;
  env.SetMethod("Call");
  env.SetArgs(static_cast<int>(args.size()), args.data());
  return env.Write();
}

void Read(const std::string& doc, std::vector<SOAPArg*> args) {
  QxZebSoap::ReadEnvelope(doc, static_cast<int>(args.size()), args.data());
}

std::string Envelope(const std::string& body) {
  return "<?xml version=\"1.0\"?>"
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:Call "
         "xmlns:m=\"urn:qx:zeb:rpc\">" +
         body + "</m:Call></s:Body></s:Envelope>";
}

template <class R>
R MakeRequest(int n) {
  return QxTest::SampleRequest<R>(n);
}

template <class R>
void ExpectSame(const R& a, const R& b) {
  EXPECT_EQ(QxTest::Describe(a), QxTest::Describe(b));
}

template <class Arg>
std::string ContentOf(const Arg& arg) {
  QxMoxXml::XmlWriter_t writer;
  writer.OpenTag("x");
  arg.WriteContentTo(writer);
  writer.CloseTag();
  return writer.GetText();
}

}  // namespace

template <class T>
class SoapRecordTwin : public ::testing::Test {};
struct Plain {
  using Request = CertRequest;
  using RequestArg = SOAPArgCertRequest;
  using Collection = CertRequestCollection;
  using CollectionArg = SOAPArgCertRequestCollection;
};
struct Ex {
  using Request = CertRequest_ex;
  using RequestArg = SOAPArgCertRequest_ex;
  using Collection = CertRequestCollection_ex;
  using CollectionArg = SOAPArgCertRequestCollection_ex;
};
using Twins = ::testing::Types<Plain, Ex>;
TYPED_TEST_SUITE(SoapRecordTwin, Twins);

TYPED_TEST(SoapRecordTwin, RequestWithEveryFieldRoundTrips) {
  using R = typename TypeParam::Request;
  const R sent = MakeRequest<R>(3);
  typename TypeParam::RequestArg out("certreq", sent);
  const std::string doc = Write({&out});

  R received;
  typename TypeParam::RequestArg in("certreq", &received);
  Read(doc, {&in});
  ExpectSame(sent, received);
}

TYPED_TEST(SoapRecordTwin, EmptyRequestWritesEveryChildInFixedOrder) {
  using R = typename TypeParam::Request;
  R r;
  r->SetTimeReceived(0);
  const std::string text = ContentOf(typename TypeParam::RequestArg("cr", r));
  const std::vector<std::string> order = {
      "<id",  "<context", "<cn",  "<nodename", "<ipaddress", "<platform",     "<os",
      "<maj", "<min",     "<sub", "<cpu",      "<itype",     "<timeReceived", "<peeraddress"};
  size_t at = 0;
  for (const std::string& tag : order) {
    const size_t found = text.find(tag, at);
    ASSERT_NE(found, std::string::npos) << tag << " in " << text;
    at = found + 1;
  }
  EXPECT_EQ(text.find("<peeraddress", at), std::string::npos);  // written once
}

TYPED_TEST(SoapRecordTwin, CollectionsOfZeroTwoAndThousandRoundTripInOrder) {
  using R = typename TypeParam::Request;
  using C = typename TypeParam::Collection;
  for (int count : {0, 2, 1000}) {
    const C sent;
    for (int i = 0; i < count; ++i) sent.Add(MakeRequest<R>(i));
    typename TypeParam::CollectionArg out("crcol", sent);
    const std::string doc = Write({&out});
    EXPECT_TRUE(sent.IsAtEnd());

    C received;
    typename TypeParam::CollectionArg in("crcol", &received);
    Read(doc, {&in});
    ASSERT_EQ(received.Size(), count);
    std::vector<Platform> platforms;
    sent.MoveFirst();
    for (received.MoveFirst(); !received.IsAtEnd(); received.Next(), sent.Next()) {
      ExpectSame(sent.GetCurrent(), received.GetCurrent());
      platforms.push_back(received.GetCurrent().GetPlatform());
    }
    for (size_t i = 1; i < platforms.size(); ++i) EXPECT_NE(platforms[i - 1], platforms[i]);
  }
}

TYPED_TEST(SoapRecordTwin, HandWrittenCollectionKeepsDefaultsForMissingChildren) {
  using R = typename TypeParam::Request;
  using C = typename TypeParam::Collection;
  const std::string doc = Envelope(
      "<crcol><junk><cr><id>x</id></cr></junk>"
      "<cr><id>a</id><itype>2</itype><platform><os>6</os><maj>5</maj><min>2</min><sub>0</sub>"
      "<cpu>7</cpu><extra>1</extra></platform><unknown><id>no</id></unknown></cr>"
      "<cr><id>b</id><timeReceived>2001-02-03T04:05:06Z</timeReceived></cr></crcol>");
  C received;
  const R preset;
  received.Add(preset);
  typename TypeParam::CollectionArg in("crcol", &received);
  Read(doc, {&in});
  ASSERT_EQ(received.Size(), 3);
  received.MoveFirst();
  received.Next();
  const R a = received.GetCurrent();
  EXPECT_EQ(a.GetId(), String_t("a"));  // the unknown element's child did not overwrite it
  EXPECT_EQ(a.GetInstallationType(), R::IT_INSTALLATION_KEY);
  EXPECT_EQ(a.GetPlatform().GetTypeCode(), 6);
  EXPECT_EQ(a.GetPlatform().GetVers1(), 5);
  EXPECT_EQ(a.GetPlatform().GetVers2(), 2);
  EXPECT_EQ(a.GetPlatform().GetVers3(), 0);
  EXPECT_EQ(a.GetPlatform().GetCPUTypeCode(), 7);
  EXPECT_EQ(a.GetPeerAddress(), R().GetPeerAddress());
  received.Next();
  const R b = received.GetCurrent();
  EXPECT_EQ(b.GetId(), String_t("b"));
  EXPECT_EQ(b.GetTimeReceived(), 981173106);
  EXPECT_EQ(b.GetInstallationType(), R::IT_NONE);
}

TYPED_TEST(SoapRecordTwin, CollectionItemsInAnyChildOrderShareNoField) {
  // One item argument serves every record of a collection: each record must get only its own
  // children, whatever their order, and a second document must append through the same argument.
  using R = typename TypeParam::Request;
  using C = typename TypeParam::Collection;
  const std::string doc = Envelope(
      "<crcol><cr><timeReceived>2001-02-03T04:05:06Z</timeReceived><platform><cpu>7</cpu>"
      "<os>6</os></platform><cn>first</cn><id>a</id></cr>"
      "<cr><peeraddress>10.0.0.2</peeraddress><id>b</id></cr>"
      "<cr><id>c</id><platform><maj>3</maj></platform>"
      "<timeReceived>2001-02-03T04:05:07Z</timeReceived></cr></crcol>");
  C received;
  typename TypeParam::CollectionArg in("crcol", &received);
  Read(doc, {&in});
  Read(Envelope("<crcol><cr><id>d</id></cr></crcol>"), {&in});
  ASSERT_EQ(received.Size(), 4);
  received.MoveFirst();
  const R a = received.GetCurrent();
  received.Next();
  const R b = received.GetCurrent();
  received.Next();
  const R c = received.GetCurrent();
  received.Next();
  const R d = received.GetCurrent();
  const R fresh;
  EXPECT_EQ(a.GetId(), String_t("a"));
  EXPECT_EQ(a.GetCN(), String_t("first"));
  EXPECT_EQ(a.GetTimeReceived(), 981173106);
  EXPECT_EQ(a.GetPlatform().GetTypeCode(), 6);
  EXPECT_EQ(a.GetPlatform().GetCPUTypeCode(), 7);
  EXPECT_EQ(a.GetPlatform().GetVers1(), fresh.GetPlatform().GetVers1());
  EXPECT_EQ(b.GetId(), String_t("b"));
  EXPECT_EQ(b.GetPeerAddress(), String_t("10.0.0.2"));
  EXPECT_EQ(b.GetCN(), fresh.GetCN());
  EXPECT_EQ(b.GetTimeReceived(), fresh.GetTimeReceived());
  EXPECT_EQ(b.GetPlatform().GetTypeCode(), fresh.GetPlatform().GetTypeCode());
  EXPECT_EQ(c.GetId(), String_t("c"));
  EXPECT_EQ(c.GetTimeReceived(), 981173107);
  EXPECT_EQ(c.GetPlatform().GetVers1(), 3);
  EXPECT_EQ(c.GetPlatform().GetCPUTypeCode(), fresh.GetPlatform().GetCPUTypeCode());
  EXPECT_NE(a.GetPlatform(), c.GetPlatform());
  EXPECT_EQ(d.GetId(), String_t("d"));
  EXPECT_EQ(d.GetTimeReceived(), fresh.GetTimeReceived());
}

TEST(SoapRecords, RequestWithoutPeerAddressKeepsTheTargets) {
  CertRequest r = MakeRequest<CertRequest>(1);
  SOAPArgCertRequest in("certreq", &r);
  Read(Envelope("<certreq><id>new</id><cn></cn></certreq>"), {&in});
  EXPECT_EQ(r.GetId(), String_t("new"));
  EXPECT_EQ(r.GetCN(), String_t(""));
  EXPECT_EQ(r.GetPeerAddress(), String_t("192.168.1.1"));
}

TEST(SoapRecords, StringCollectionAndByteArrayListRoundTrip) {
  QxSecCore::StringCollection strings;
  for (const char* s : {"req-1", "", "a<b>&c \xc3\xa9"}) strings.Add(String_t(s));
  CharArrayList pems;
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  for (int i = 0; i < 20; ++i) pem += std::string(64, static_cast<char>('A' + i)) + "\n";
  pem += "-----END CERTIFICATE-----\n";
  pems.emplace_back(pem);
  pems.emplace_back(std::string("latin \xe9\xff\x80 and more"));
  pems.emplace_back(std::string("cut\0after", 9));
  SOAPArgStringCollection outS("reqids", &strings);  // writing moves the cursor
  SOAPArgCharArrayList outL("trusted", pems);
  const std::string doc = Write({&outS, &outL});
  EXPECT_TRUE(strings.IsAtEnd());

  QxSecCore::StringCollection gotStrings;
  CharArrayList gotPems;
  SOAPArgStringCollection inS("reqids", &gotStrings);
  SOAPArgCharArrayList inL("trusted", &gotPems);
  Read(doc, {&inS, &inL});
  std::vector<String_t> a, b;
  for (strings.MoveFirst(); !strings.IsAtEnd(); strings.Next()) a.push_back(strings.GetCurrent());
  for (gotStrings.MoveFirst(); !gotStrings.IsAtEnd(); gotStrings.Next())
    b.push_back(gotStrings.GetCurrent());
  EXPECT_EQ(a, b);
  ASSERT_EQ(gotPems.size(), 3u);
  auto it = gotPems.begin();
  EXPECT_EQ(it->View(), pem);
  EXPECT_EQ((++it)->View(), "latin \xe9\xff\x80 and more");
  EXPECT_EQ((++it)->View(), "cut");  // 8-bit text ends at the first NUL
}

TEST(SoapRecords, EventsRoundTripAndExNameFollowsTheSwitch) {
  CertEvent event;
  event->SetType(static_cast<CertEvent::Type>(-5));
  event->SetInfo("issued <ok>");
  event->SetCertRequest(MakeRequest<CertRequest>(4));
  SOAPArgCertEvent out("ce", event);
  const std::string doc = Write({&out});
  EXPECT_NE(doc.find("<certrequest>"), std::string::npos);
  CertEvent got;
  SOAPArgCertEvent in("ce", &got);
  Read(doc, {&in});
  EXPECT_EQ(got.GetType(), event.GetType());
  EXPECT_EQ(got.GetInfo(), event.GetInfo());
  ExpectSame(event.GetCertRequest(), got.GetCertRequest());

  ASSERT_FALSE(g_UseCertReq::GetUseCertReq());
  CertEvent_ex ex;
  ex->SetType(static_cast<CertEvent_ex::Type>(3));
  ex->SetCertRequest(MakeRequest<CertRequest_ex>(9));
  const std::string before = ContentOf(SOAPArgCertEvent_ex("ce", ex));
  EXPECT_NE(before.find("<certrequest_ex>"), std::string::npos);
  CertEvent_ex early, early2;
  SOAPArgCertEvent_ex earlyIn("ce", &early), earlyIn2("ce", &early2);

  g_UseCertReq::SetUseCertReq();
  SOAPArgCertEvent_ex outAfter("ce", ex);
  const std::string docAfter = Write({&outAfter});
  EXPECT_NE(docAfter.find("<certrequest>"), std::string::npos);
  EXPECT_EQ(docAfter.find("certrequest_ex"), std::string::npos);
  CertEvent_ex late;
  SOAPArgCertEvent_ex lateIn("ce", &late);
  Read(docAfter, {&lateIn});
  ExpectSame(ex.GetCertRequest(), late.GetCertRequest());
  EXPECT_EQ(late.GetType(), ex.GetType());

  // A receiver built before the switch still wants "certrequest_ex".
  Read(docAfter, {&earlyIn});
  EXPECT_EQ(early.GetCertRequest().GetId(), CertRequest_ex().GetId());
  EXPECT_EQ(early.GetType(), ex.GetType());
  Read(Envelope("<ce><certrequest_ex><id>old</id></certrequest_ex></ce>"), {&earlyIn2});
  EXPECT_EQ(early2.GetCertRequest().GetId(), String_t("old"));
}

TEST(SoapRecords, BrokenDocumentsAreRefusedWithoutCrashing) {
  CertRequestCollection sent;
  for (int i = 0; i < 5; ++i) sent.Add(MakeRequest<CertRequest>(i));
  SOAPArgCertRequestCollection out("crcol", sent);
  const std::string doc = Write({&out});
  for (size_t cut : {doc.size() / 3, doc.size() / 2, doc.size() - 20}) {
    CertRequestCollection got;
    SOAPArgCertRequestCollection in("crcol", &got);
    EXPECT_THROW(Read(doc.substr(0, cut), {&in}), QxZebRpc::RpcException);
  }
  std::string garbage = doc;
  for (size_t i = 0; i < garbage.size(); i += 7) garbage[i] = static_cast<char>(i * 31);
  CertRequestCollection got;
  SOAPArgCertRequestCollection in("crcol", &got);
  EXPECT_ANY_THROW(Read(garbage, {&in}));

  // Nested repeats, unknown children and a child named like its parent are answered, not fatal.
  CertRequest r;
  SOAPArgCertRequest req("certreq", &r);
  Read(Envelope("<certreq><id><id>x</id></id><platform><platform/></platform><certreq/>"
                "<cn>c</cn></certreq>"),
       {&req});
  CertEvent ev;
  SOAPArgCertEvent evIn("ce", &ev);
  Read(Envelope("<ce><type>12</type><certrequest><certrequest/></certrequest></ce>"), {&evIn});
  EXPECT_EQ(static_cast<int32_t>(ev.GetType()), 12);
  // A number or a date-time the messaging library cannot read propagates its error.
  CertRequest bad;
  SOAPArgCertRequest badIn("certreq", &bad);
  for (const char* child : {"<itype>x12</itype>", "<timeReceived>never</timeReceived>"}) {
    EXPECT_ANY_THROW(Read(Envelope(std::string("<certreq>") + child + "</certreq>"), {&badIn}))
        << child;
  }
}

TEST(SoapRecords, ListsAndCollectionsTakeAtMostTheirItemCount) {
  constexpr int kMax = 100000;
  auto items = [](const char* item, int count) {
    std::string body;
    body.reserve(static_cast<size_t>(count) * 6);
    for (int i = 0; i < count; ++i) body += std::string("<") + item + "/>";
    return body;
  };
  {
    CertRequestCollection got;
    SOAPArgCertRequestCollection in("crcol", &got);
    Read(Envelope("<crcol>" + items("cr", kMax) + "</crcol>"), {&in});
    EXPECT_EQ(got.Size(), kMax);
    // The count starts again with each element of the argument: a second document of the same
    // size is read through the same argument.
    CertRequestCollection again;
    SOAPArgCertRequestCollection in2("crcol", &again);
    EXPECT_THROW(Read(Envelope("<crcol>" + items("cr", kMax + 1) + "</crcol>"), {&in2}),
                 QxMoxMsg::IllegalArgumentError_t);
    EXPECT_EQ(again.Size(), kMax) << "nothing is added past the limit";
  }
  QxSecCore::StringCollection ids;
  SOAPArgStringCollection idsIn("reqids", &ids);
  EXPECT_THROW(Read(Envelope("<reqids>" + items("li", kMax + 1) + "</reqids>"), {&idsIn}),
               QxMoxMsg::IllegalArgumentError_t);
  CharArrayList certs;
  SOAPArgCharArrayList certsIn("certs", &certs);
  Read(Envelope("<certs>" + items("li", kMax) + "</certs>"), {&certsIn});
  EXPECT_EQ(certs.size(), static_cast<size_t>(kMax));
}

TEST(SoapRecords, ArgumentsReadAgainAfterAFailedReadAreFilled) {
  // A read that fails inside an argument (here inside a nested child) must not leave the
  // argument half-way: callers read into the same arguments again, as a retried call does.
  CertRequestCollection got;
  SOAPArgCertRequestCollection collection("crcol", &got);
  CertEvent_ex event;
  SOAPArgCertEvent_ex eventArg("ce", &event);
  int32_t count = -1;
  QxZebSoap::SOAPArgInt countArg("count", &count);
  const std::string bad = Envelope(
      "<crcol><cr><id>a</id></cr><cr><id>b</id><timeReceived>never</timeReceived></cr></crcol>");
  EXPECT_THROW(Read(bad, {&collection, &eventArg, &countArg}), QxMoxMsg::IllegalArgumentError_t);
  const std::string cut = Envelope(
      "<ce><certrequest_ex><id>x</id><platform><os>6</os></platform></certrequest_ex></ce>"
      "<count>4</count>");
  EXPECT_THROW(Read(cut.substr(0, cut.find("<os>") + 5), {&collection, &eventArg, &countArg}),
               QxZebRpc::RpcException);
  EXPECT_THROW(Read(cut.substr(0, cut.find("<count>") + 8), {&collection, &eventArg, &countArg}),
               QxZebRpc::RpcException);

  const CertRequestCollection sent;
  sent.Add(MakeRequest<CertRequest>(1));
  SOAPArgCertRequestCollection sentArg("crcol", sent);
  const CertEvent_ex sentEvent = [] {
    CertEvent_ex e;
    e->SetInfo("again");
    e->SetCertRequest(MakeRequest<CertRequest_ex>(2));
    return e;
  }();
  SOAPArgCertEvent_ex sentEventArg("ce", sentEvent);
  QxZebSoap::SOAPArgInt sentCount("count", 9);
  const int before = got.Size();
  Read(Write({&sentArg, &sentEventArg, &sentCount}), {&collection, &eventArg, &countArg});
  ASSERT_EQ(got.Size(), before + 1);
  got.MoveFirst();
  for (int i = 0; i < before; ++i) got.Next();
  ExpectSame(got.GetCurrent(), MakeRequest<CertRequest>(1));
  EXPECT_EQ(event.GetInfo(), String_t("again"));
  ExpectSame(event.GetCertRequest(), sentEvent.GetCertRequest());
  EXPECT_EQ(count, 9);
}
