// X509CertRequest: key pairs and PKCS#10 requests, checked by OpenSSL's tool and API.
#include "OpenSslPtr.h"
#include "qxseccm/X509CertRequest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Files.h"
#include "TestHome.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxseccm/Tracer.h"
#include "qxseccore/Key.h"

using QxMoxArray::CharArray_t;
using QxSecCm::X509CertRequest;

namespace {

namespace Ssl = QxSecCore::Ssl;
using ReqP = Ssl::X509ReqPtr;

std::string Shell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

using QxTest::ReadFile;

std::string NameDer(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_NAME(name, &der);
  const Ssl::OpenSslBytes owned(der);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  return bytes;
}

class X509CertRequestTest : public QxTest::HomeTest {};

TEST_F(X509CertRequestTest, EncodedRequestVerifiesAndListsSubjectInOrder) {
  X509CertRequest request("node-17", "Winterthur");
  CharArray_t pem(3);  // a size to be replaced
  const int length = request.GetEncoded(pem);
  EXPECT_EQ(static_cast<size_t>(length), pem.GetSize());
  const std::string text = pem.ToStdString();
  EXPECT_EQ(text.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);
  EXPECT_EQ(text.find('\0'), std::string::npos);

  const std::string path = home / "node.csr";
  std::ofstream(path) << text;
  const std::string out = Shell("openssl req -verify -noout -subject -in " + path);
  EXPECT_NE(out.find("self-signature verify OK"), std::string::npos) << out;
  EXPECT_NE(out.find("subject=CN = node-17, L = Winterthur, O = Marrow-Tessing, OU = Quillax"),
            std::string::npos)
      << out;
  const std::string info = Shell("openssl req -noout -text -in " + path);
  EXPECT_NE(info.find("Version: 1 (0x0)"), std::string::npos) << info;
  EXPECT_NE(info.find("Signature Algorithm: sha1WithRSAEncryption"), std::string::npos);
  EXPECT_NE(info.find("Public-Key: (1024 bit)"), std::string::npos);
  EXPECT_NE(info.find("Exponent: 3 (0x3)"), std::string::npos);
  EXPECT_NE(info.find("Attributes:\n            (none)"), std::string::npos) << info;
}

TEST_F(X509CertRequestTest, KeyIsRsa1024WithExponent3AndPrivateKeyMatchesRequest) {
  X509CertRequest request("node-18", "Zug");
  EVP_PKEY* pair = request.GetKeyPair();
  ASSERT_NE(pair, nullptr);
  EXPECT_TRUE(EVP_PKEY_is_a(pair, "RSA"));
  EXPECT_EQ(EVP_PKEY_get_bits(pair), 1024);
  BIGNUM* e = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(pair, "e", &e), 1);
  const Ssl::BignumPtr exponent(e);
  EXPECT_TRUE(BN_is_word(e, 3));

  const QxSecCore::Key key = request.GetPrivateKey();
  EXPECT_EQ(key.GetType(), QxSecCore::Key::TYPE_RSA_PRIVATE);
  EXPECT_EQ(EVP_PKEY_eq(key.Native(), pair), 1);

  // Each request is built and signed afresh, with the same key and subject.
  const ReqP first(request.GetRequest());
  const ReqP second(request.GetRequest());
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  for (X509_REQ* req : {first.get(), second.get()}) {
    EXPECT_EQ(X509_REQ_verify(req, key.Native()), 1);
    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(req), pair), 1);
    EXPECT_EQ(X509_REQ_get_version(req), 0);
    EXPECT_EQ(X509_REQ_get_attr_count(req), 0);
  }
  EXPECT_EQ(X509_NAME_cmp(X509_REQ_get_subject_name(first.get()),
                          X509_REQ_get_subject_name(second.get())),
            0);

  // The key's PEM form is unencrypted: OpenSSL reads it without a password.
  const std::string path = home / "node.key";
  std::ofstream(path) << key.GetEncoded().ToStdString();
  const std::string check = Shell("openssl rsa -check -noout -passin pass: -in " + path);
  EXPECT_NE(check.find("RSA key ok"), std::string::npos) << check;
}

TEST_F(X509CertRequestTest, SubjectTextIsUtf8AndAsciiIsEncodedAsOpenSslEncodesAscii) {
  X509CertRequest ascii("plain", "Aarau");
  const ReqP req(ascii.GetRequest());
  // The same name built from ASCII text: byte for byte what MBSTRING_ASC gives.
  const Ssl::X509NamePtr expected(X509_NAME_new());
  for (const auto& [field, value] :
       {std::pair{"CN", "plain"}, std::pair{"L", "Aarau"}, std::pair{"O", "Marrow-Tessing"},
        std::pair{"OU", "Quillax"}}) {
    X509_NAME_add_entry_by_txt(expected.get(), field, MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  }
  EXPECT_EQ(NameDer(X509_REQ_get_subject_name(req.get())), NameDer(expected.get()));

  X509CertRequest accented(u"n\u00f6de", u"Z\u00fcrich");
  const ReqP other(accented.GetRequest());
  const X509_NAME* name = X509_REQ_get_subject_name(other.get());
  const ASN1_STRING* locality = X509_NAME_ENTRY_get_data(
      X509_NAME_get_entry(name, X509_NAME_get_index_by_NID(name, NID_localityName, -1)));
  EXPECT_EQ(ASN1_STRING_type(locality), V_ASN1_UTF8STRING);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(locality)),
                        static_cast<size_t>(ASN1_STRING_length(locality))),
            "Z\xc3\xbcrich");
}

// Names a certificate cannot hold are refused with a sentence that says which and why, before
// any key is made; the limits count characters, not bytes.
TEST_F(X509CertRequestTest, NamesACertificateCannotHoldAreRefusedSayingWhy) {
  const std::u16string longest = std::u16string(64, u'\u00e9');  // 128 bytes in UTF-8
  X509CertRequest atTheLimit(longest, std::u16string(128, u'x'));
  const ReqP req(atTheLimit.GetRequest());
  ASSERT_TRUE(req);

  const char16_t loneSurrogate[] = {u'a', 0xD800, 0};
  const struct {
    QxMoxStr::String_t cn, locality;
    const char* says;
  } rows[] = {
      {"", "Bern", "The common name (CN) is empty"},
      {std::string(65, 'x'), "Bern", "(CN) has 65 characters: a certificate name holds at most 64"},
      {"node", std::string(129, 'x'), "The locality name (L) has 129 characters"},
      {"node\tforged\nown", "Bern", "The common name (CN) holds a control character"},
      {"node", "Bern\x7f", "The locality name (L) holds a control character"},
      {loneSurrogate, "Bern", "The common name (CN) is not UTF-8 text."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.says);
    try {
      X509CertRequest request(row.cn, row.locality);
      ADD_FAILURE() << "accepted";
    } catch (const QxMoxMsg::IllegalArgumentError_t& e) {
      EXPECT_NE(e.GetMessageList().First().Format().ToUtf8().find(row.says), std::string::npos)
          << e.GetMessageList().First().Format().ToUtf8();
    }
  }
}

TEST_F(X509CertRequestTest, TracesKeyGenerationSteps) {
  const std::string traceFile = home / "trace.log";
  setenv("QX_TRACE_FILE", traceFile.c_str(), 1);
  QxMoxTrc::ReopenSink();
  QxMoxTrc::TraceObj_t& op = QxSecCmTrc::Tracer::GetClientTracerOperation();
  QxMoxTrc::TraceObj_t& proc = QxSecCmTrc::Tracer::GetClientTracerProc();
  const uint32_t opLevel = op.GetLevel();
  const uint32_t procLevel = proc.GetLevel();
  op.SetLevel(9);
  proc.SetLevel(9);
  { X509CertRequest request("traced", "Thun"); }
  op.SetLevel(opLevel);
  proc.SetLevel(procLevel);
  unsetenv("QX_TRACE_FILE");
  QxMoxTrc::ReopenSink();

  const std::string trace = ReadFile(traceFile);
  size_t at = 0;
  for (const char* line :
       {"Entering X509CertRequest::Constructor()", "Entering X509CertRequest::CreateKeyPair()",
        "X509CertRequest: Generating RSA key pair",
        "X509CertRequest: Checking if generated key pair can be used",
        "X509CertRequest: Succeeded in generating a RSA key pair after 1 attempt(s)",
        "Leaving X509CertRequest::CreateKeyPair()", "Leaving X509CertRequest::Constructor()",
        "Entering X509CertRequest::Destructor()", "Leaving X509CertRequest::Destructor()"}) {
    SCOPED_TRACE(line);
    const size_t found = trace.find(line, at);
    ASSERT_NE(found, std::string::npos) << trace;
    at = found;
  }
}

}  // namespace
