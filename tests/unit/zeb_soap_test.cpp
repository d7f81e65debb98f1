// SOAP arguments: wire text of the simple kinds, reading documents written elsewhere, and the
// reader's refusals of unsafe or malformed input.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "qxzeb/Exceptions.h"
#include "qxzeb/Soap.h"

using namespace QxZebSoap;
using QxMoxStr::String_t;

namespace {

std::string Envelope(const std::string& body) {
  return "<?xml version=\"1.0\"?>"
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
         body + "</s:Body></s:Envelope>";
}

std::string Write(const String_t& method, std::vector<SOAPArg*> args) {
  SOAPEnvelope env;
  env.SetMethod(method);
  env.SetArgs(static_cast<int>(args.size()), args.data());
  return env.Write();
}

}  // namespace

TEST(SoapArgs, SimpleKindsRoundTripAtTheirEdges) {
  QxMoxArray::CharArray_t allBytes(256);
  for (int i = 0; i < 256; ++i) allBytes[i] = static_cast<unsigned char>(i);
  const String_t text(u"a<b>&c \"q\" \U0001F600 \u00e9");
  SOAPArgInt i1("imin", INT32_MIN), i2("imax", INT32_MAX);
  SOAPArgBool b1("t", true), b2("f", false);
  SOAPArgULong u1("u", UINT64_MAX);
  SOAPArgUnicodeString s1("s", text), s2("empty", String_t(""));
  SOAPArgURI uri("uri", QxMoxNet::URI_t("https://host.example:15443/qx/node/"));
  SOAPArgByteArray bytes("bytes", allBytes), none("nobytes", QxMoxArray::CharArray_t());
  SOAPArgDateTime d1("d1", XSDDateTime{INT32_MIN, 0}), d2("d2", XSDDateTime{INT32_MAX, 0});
  SOAPArgDateTime_ex d3("d3", XSDDateTime_ex{int64_t{1} << 40, 0}),
      d4("d4", XSDDateTime_ex{-62135596800, 0});  // 0001-01-01T00:00:00Z
  const std::string doc =
      Write("Echo", {&i1, &i2, &b1, &b2, &u1, &s1, &s2, &uri, &bytes, &none, &d1, &d2, &d3, &d4});

  int32_t ri1 = 7, ri2 = 7;
  bool rb1 = false, rb2 = true;
  uint64_t ru1 = 0;
  String_t rs1, rs2("preset");
  QxMoxNet::URI_t ruri;
  QxMoxArray::CharArray_t rbytes, rnone("x");
  XSDDateTime rd1{0, 11}, rd2{};
  XSDDateTime_ex rd3{}, rd4{};
  SOAPArgInt a1("imin", &ri1), a2("imax", &ri2);
  SOAPArgBool a3("t", &rb1), a4("f", &rb2);
  SOAPArgULong a5("u", &ru1);
  SOAPArgUnicodeString a6("s", &rs1), a7("empty", &rs2);
  SOAPArgURI a8("uri", &ruri);
  SOAPArgByteArray a9("bytes", &rbytes), a10("nobytes", &rnone);
  SOAPArgDateTime a11("d1", &rd1), a12("d2", &rd2);
  SOAPArgDateTime_ex a13("d3", &rd3), a14("d4", &rd4);
  SOAPArg* results[] = {&a14, &a13, &a12, &a11, &a10, &a9, &a8, &a7, &a6, &a5, &a4, &a3, &a2, &a1};
  EXPECT_EQ(ReadEnvelope(doc, 14, results), String_t("Echo"));
  EXPECT_EQ(ri1, INT32_MIN);
  EXPECT_EQ(ri2, INT32_MAX);
  EXPECT_TRUE(rb1);
  EXPECT_FALSE(rb2);
  EXPECT_EQ(ru1, UINT64_MAX);
  EXPECT_EQ(rs1, text);
  EXPECT_EQ(rs2, String_t(""));
  EXPECT_EQ(ruri.ToString(), String_t("https://host.example:15443/qx/node/"));
  EXPECT_EQ(rbytes, allBytes);
  EXPECT_TRUE(rnone.IsEmpty());
  EXPECT_EQ(rd1.m_time, INT32_MIN);
  EXPECT_EQ(rd1.m_extra, 11) << "the second member is not carried and keeps its value";
  EXPECT_EQ(rd2.m_time, INT32_MAX);
  EXPECT_EQ(rd3.m_time, int64_t{1} << 40);
  EXPECT_EQ(rd4.m_time, -62135596800);
}

TEST(SoapArgs, WritesTheDocumentedText) {
  SOAPArgInt i("n", -42);
  SOAPArgBool b("b", true);
  SOAPArgByteArray bytes("k", QxMoxArray::CharArray_t(std::string_view("\x00\x01\x02\xff", 4)));
  SOAPArgDateTime d("t", XSDDateTime{INT32_MAX, 0});
  SOAPArgDateTime_ex e("e", XSDDateTime_ex{0, 0});
  SOAPArgUnicodeString s("s", String_t("a&b<c"));
  const std::string doc = Write("M", {&i, &b, &bytes, &d, &e, &s});
  EXPECT_NE(doc.find("<n xsi:type=\"xsd:int\">-42</n>"), std::string::npos) << doc;
  EXPECT_NE(doc.find(">true</b>"), std::string::npos);
  EXPECT_NE(doc.find(">AAEC/w==</k>"), std::string::npos);
  EXPECT_NE(doc.find(">2038-01-19T03:14:07Z</t>"), std::string::npos);
  EXPECT_NE(doc.find(">1970-01-01T00:00:00Z</e>"), std::string::npos);
  EXPECT_NE(doc.find(">a&amp;b&lt;c</s>"), std::string::npos);
  EXPECT_NE(doc.find("<SOAP-ENV:Body><m:M xmlns:m="), std::string::npos);
}

TEST(SoapArgs, ReadsDocumentsWrittenElsewhere) {
  // Other prefixes, a default namespace, white space, an offset time zone, a fraction, base64
  // broken over lines, a Header, unknown arguments with children and CDATA.
  const std::string doc =
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<env:Envelope xmlns:env='http://schemas.xmlsoap.org/soap/envelope/'>\n"
      " <env:Header><x:h xmlns:x='urn:x'>ignored</x:h></env:Header>\n"
      " <env:Body>\n"
      "  <GetResponse xmlns='urn:other'>\n"
      "   <unknown><n>999</n></unknown>\n"
      "   <n> 17 </n>\n"
      "   <b>1</b>\n"
      "   <k>AAEC\n /w==</k>\n"
      "   <t>2026-12-06T09:58:35.250+02:00</t>\n"
      "   <s><![CDATA[<raw>]]> &amp; text</s>\n"
      "  </GetResponse>\n"
      " </env:Body>\n"
      "</env:Envelope>";
  int32_t n = 0;
  bool b = false;
  QxMoxArray::CharArray_t k;
  XSDDateTime t{};
  String_t s;
  SOAPArgInt an("n", &n);
  SOAPArgBool ab("b", &b);
  SOAPArgByteArray ak("k", &k);
  SOAPArgDateTime at("t", &t);
  SOAPArgUnicodeString as("s", &s);
  SOAPArg* args[] = {&an, &ab, &ak, &at, &as};
  EXPECT_EQ(ReadEnvelope(doc, 5, args), String_t("GetResponse"));
  EXPECT_EQ(n, 17);
  EXPECT_TRUE(b);
  EXPECT_EQ(k, QxMoxArray::CharArray_t(std::string_view("\x00\x01\x02\xff", 4)));
  EXPECT_EQ(t.m_time, 1796543915);  // 2026-12-06T07:58:35Z
  EXPECT_EQ(s, String_t("<raw> & text"));
}

TEST(SoapArgs, MissingArgumentKeepsPreset) {
  int32_t kept = 5, got = 0;
  SOAPArgInt sent("got", 9);
  const std::string doc = Write("R", {&sent});
  SOAPArgInt a("kept", &kept), b("got", &got);
  SOAPArg* args[] = {&a, &b};
  ReadEnvelope(doc, 2, args);
  EXPECT_EQ(kept, 5);
  EXPECT_EQ(got, 9);
}

// xsd:int takes a whole decimal within 32 bits between XML white space; anything else is
// refused, never cut, clamped or read as 0.
TEST(SoapArgs, IntReadsOnlyAWholeDecimalWithin32Bits) {
  struct Row {
    const char* text;
    std::optional<int32_t> value;  // none: refused
  } rows[] = {{"-2147483648", INT32_MIN},
              {"2147483647", INT32_MAX},
              {" \t42\r\n ", 42},
              {"+8", 8},
              {"99999999999999999999", {}},
              {"2147483648", {}},
              {"-2147483649", {}},
              {"0x10", {}},
              {"1e3", {}},
              {"12abc", {}},
              {"", {}},
              {" ", {}},
              {"+-1", {}},
              {"- 1", {}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("'") + row.text + "'");
    int32_t n = 7;
    SOAPArgInt an("n", &n);
    SOAPArg* args[] = {&an};
    const std::string doc = Envelope(std::string("<M><n>") + row.text + "</n></M>");
    if (row.value) {
      ReadEnvelope(doc, 1, args);
      EXPECT_EQ(n, *row.value);
      EXPECT_EQ(SOAPArgInt::UnicodeToInt(String_t(row.text)), *row.value);
    } else {
      EXPECT_THROW(ReadEnvelope(doc, 1, args), QxMoxMsg::IllegalArgumentError_t);
      EXPECT_THROW(SOAPArgInt::UnicodeToInt(String_t(row.text)), QxMoxMsg::IllegalArgumentError_t);
    }
  }
  EXPECT_EQ(SOAPArgInt::IntToUnicode(INT32_MIN), String_t("-2147483648"));
}

TEST(SoapArgs, RefusesValuesOfTheWrongKind) {
  struct Row {
    const char* name;
    const char* text;
  } rows[] = {{"b", "yes"},
              {"u", "-1"},
              {"u", "18446744073709551616"},
              {"k", "AB=C"},
              {"k", "ABC"},
              {"k", "AB*D"},
              {"t", "2026-02-30T00:00:00Z"},
              {"t", "2026-12-06 07:58:35"},
              {"t", "2038-01-19T03:14:08Z"},  // one past the 32-bit range
              {"t", "2026-12-06T07:58:35Zjunk"},
              // In range as written, beyond the last or first UTC second the text can carry
              // once the offset is applied: such a time could not be written back readably.
              {"te", "999999999-12-31T23:59:59-14:00"},
              {"te", "-999999999-01-01T00:00:00+00:01"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + "=" + row.text);
    bool b = false;
    uint64_t u = 0;
    QxMoxArray::CharArray_t k;
    XSDDateTime t{};
    XSDDateTime_ex te{};
    SOAPArgBool ab("b", &b);
    SOAPArgULong au("u", &u);
    SOAPArgByteArray ak("k", &k);
    SOAPArgDateTime at("t", &t);
    SOAPArgDateTime_ex ate("te", &te);
    SOAPArg* args[] = {&ab, &au, &ak, &at, &ate};
    const std::string doc =
        Envelope(std::string("<M><") + row.name + ">" + row.text + "</" + row.name + "></M>");
    EXPECT_THROW(ReadEnvelope(doc, 5, args), QxMoxMsg::IllegalArgumentError_t);
  }

  // The extreme times that are carried go both ways; a time beyond them is refused by the
  // writer rather than written in a form no reader takes.
  for (const char* text : {"999999999-12-31T23:59:59Z", "-999999999-01-01T00:00:00Z"}) {
    XSDDateTime_ex te{};
    SOAPArgDateTime_ex ate("te", &te);
    SOAPArg* args[] = {&ate};
    ReadEnvelope(Envelope(std::string("<M><te>") + text + "</te></M>"), 1, args);
    XSDDateTime_ex back{};
    SOAPArgDateTime_ex aback("te", &back);
    SOAPArg* backArgs[] = {&aback};
    ReadEnvelope(Write("M", {&ate}), 1, backArgs);
    EXPECT_EQ(back.m_time, te.m_time) << text;
  }
  for (const int64_t beyond : {INT64_MAX, INT64_MIN}) {
    SOAPArgDateTime_ex ate("te", XSDDateTime_ex{beyond, 0});
    EXPECT_THROW(Write("M", {&ate}), QxMoxMsg::IllegalArgumentError_t);
  }
}

TEST(SoapReader, RefusesUnsafeAndMalformedDocuments) {
  int32_t n = 0;
  SOAPArgInt an("n", &n);
  SOAPArg* args[] = {&an};
  const std::string laughs =
      "<?xml version='1.0'?><!DOCTYPE e [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;'>]>" +
      Envelope("<M><n>&b;</n></M>");
  std::string deep = "<M><n>1</n><x>";
  for (int i = 0; i < 70; ++i) deep += "<d>";
  for (int i = 0; i < 70; ++i) deep += "</d>";
  deep += "</x></M>";
  std::string huge = Envelope("<M><n>1</n><p>" + std::string(16u << 20, 'a') + "</p></M>");
  struct Row {
    const char* name;
    std::string doc;
  } rows[] = {
      {"doctype", laughs},
      {"too deep", Envelope(deep)},
      {"too large", huge},
      {"empty", ""},
      {"truncated", Envelope("<M><n>1</n>").substr(0, 90)},
      {"trailing bytes", Envelope("<M/>") + "<extra/>"},
      {"not an envelope", "<Envelope><Body><M><n>1</n></M></Body></Envelope>"},
      {"empty body", Envelope("")},
      {"binary", std::string("\0\xff\xfe<\x01", 5)},
      {"bad utf-8", Envelope("<M><n>\xc3\x28</n></M>")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_THROW(ReadEnvelope(row.doc, 1, args), QxZebRpc::RpcException);
  }
  // The deep document's argument before the offending point was filled; nothing after it.
  EXPECT_EQ(n, 1);
  n = 0;
  const std::string deepFirst = Envelope("<M><x>" + std::string(70 * 3, ' ') + "</x></M>");
  EXPECT_NO_THROW(ReadEnvelope(deepFirst, 1, args));
  std::string deepThenArg = "<M><x>";
  for (int i = 0; i < 70; ++i) deepThenArg += "<d>";
  for (int i = 0; i < 70; ++i) deepThenArg += "</d>";
  deepThenArg += "</x><n>5</n></M>";
  EXPECT_THROW(ReadEnvelope(Envelope(deepThenArg), 1, args), QxZebRpc::RpcException);
  EXPECT_EQ(n, 0) << "an argument after the offending point must not be filled";
}

TEST(SoapReader, ManyDistinctAndLongNamesStillReachTheirArguments) {
  // The reader remembers a bounded number of element names; past that bound, names too long to
  // keep and the rest must still reach their arguments with prefix and namespace intact.
  std::string body = "<M><p:n xmlns:p='urn:p'>1</p:n>";
  for (int i = 0; i < 600; ++i) body += "<u" + std::to_string(i) + "/>";
  const std::string longName = "l" + std::string(300, 'x');
  body += "<" + longName + ">7</" + longName + "><q:s xmlns:q='urn:q'>text</q:s><b>true</b>";
  body += "<p:n xmlns:p='urn:p'>2</p:n></M>";
  int32_t first = 0, second = 0, longValue = 0;
  String_t s;
  bool b = false;
  SOAPArgInt an("n", &first), an2("n", &second), al(String_t(longName), &longValue);
  SOAPArgUnicodeString as("s", &s);
  SOAPArgBool ab("b", &b);
  SOAPArg* args[] = {&an, &an2, &al, &as, &ab};
  EXPECT_EQ(ReadEnvelope(Envelope(body), 5, args), String_t("M"));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(an2.GetPrefix(), String_t("p"));
  EXPECT_EQ(an2.GetNamespaceUri(), String_t("urn:p"));
  EXPECT_EQ(longValue, 7);
  EXPECT_EQ(s, String_t("text"));
  EXPECT_EQ(as.GetPrefix(), String_t("q"));
  EXPECT_EQ(as.GetNamespaceUri(), String_t("urn:q"));
  EXPECT_TRUE(b);
}

TEST(SoapReader, FaultBecomesRpcExceptionWithItsCode) {
  const std::string doc = Envelope(
      "<s:Fault><faultcode>s:Server</faultcode><faultstring>disk full</faultstring></s:Fault>");
  try {
    ReadEnvelope(doc, 0, nullptr);
    FAIL() << "no exception";
  } catch (const QxZebRpc::RpcException& e) {
    EXPECT_EQ(e.GetFaultCode(), String_t("Server"));
    EXPECT_NE(std::string(e.what()).find("disk full"), std::string::npos);
  }
}
