// CertificateBuilder and CertificateBuilder_ex, checked by OpenSSL's own tools and API.
#include "qxseccm/CertificateBuilder.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "OpenSslPtr.h"
#include "TestHome.h"
#include "qxmox/CharArray.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

using QxMoxArray::CharArray_t;
using QxSecCm::CertificateBuilder;
using QxSecCm::CertificateBuilder_ex;
using QxSecCm::X509CertRequest;
using QxSecCore::Key;
using QxSecCore::X509Certificate;

namespace {

constexpr long kLifetime = 630720000;
constexpr long kDay = 86400;

namespace Ssl = QxSecCore::Ssl;
using X509P = Ssl::X509Ptr;
using ReqP = Ssl::X509ReqPtr;
using BioP = Ssl::BioPtr;

std::string Str(const CharArray_t& bytes) { return bytes.ToStdString(); }

using QxTest::ReadFile;
using QxTest::WriteFile;

// Run runs a shell command and returns its standard output and error together.
std::string Run(const std::string& command, int* status = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int rc = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

X509P ParseCert(const std::string& pem) {
  BioP bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return X509P(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string PemOf(X509_REQ* req) {
  BioP bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509_REQ(bio.get(), req);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string Der(X509* cert) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  const Ssl::OpenSslBytes owned(der);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  return bytes;
}

time_t Seconds(const ASN1_TIME* time) {
  std::tm tm{};
  ASN1_TIME_to_tm(time, &tm);
  return timegm(&tm);
}

long Serial(X509* cert) { return ASN1_INTEGER_get(X509_get0_serialNumber(cert)); }

// Caught runs f, expects it to throw E and returns the first message it carried.
template <class E, class F>
QxMoxMsg::Message_t Caught(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.GetMessageList().First();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other exception: " << e.what();
    return {};
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

struct Ca {
  X509Certificate cert;
  Key key;
};

// The CA all tests share: its key pair is the slow part.
const Ca& SharedCa() {
  static const Ca ca = [] {
    Ca made;
    CertificateBuilder::CreateSelfSignedCertificate("Test CA", "Basel", true, made.cert, made.key);
    return made;
  }();
  return ca;
}

// A request made once; requests are only read.
const std::string& SharedCsr() {
  static const std::string csr = [] {
    X509CertRequest request("node-1", "Lausanne");
    CharArray_t pem;
    request.GetEncoded(pem);
    return Str(pem);
  }();
  return csr;
}

// AddConfiguredExtensions adds the five extensions to cert, each made from its configuration
// string with issuer and cert in the context, as the plain OpenSSL sequence does.
void AddConfiguredExtensions(X509* cert, X509* issuer, bool isCA) {
  const char* names[] = {"authorityKeyIdentifier", "basicConstraints", "keyUsage", "nsComment",
                         "subjectKeyIdentifier"};
  const char* values[] = {"keyid,issuer:always", isCA ? "CA:TRUE" : "CA:FALSE",
                          isCA ? "nonRepudiation,digitalSignature,keyEncipherment,keyCertSign"
                               : "nonRepudiation,digitalSignature,keyEncipherment",
                          "MT Quillax Certificate", "hash"};
  X509V3_CTX ctx{};
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  for (int i = 0; i < 5; ++i) {
    const Ssl::X509ExtensionPtr ext(X509V3_EXT_conf(nullptr, &ctx, names[i], values[i]));
    X509_add_ext(cert, ext.get(), -1);
  }
}

// ExtensionsDer returns the DER of each extension of cert, in its order.
std::vector<std::string> ExtensionsDer(const X509* cert) {
  std::vector<std::string> all;
  for (int i = 0; i < X509_get_ext_count(cert); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_EXTENSION(X509_get_ext(cert, i), &der);
    const Ssl::OpenSslBytes owned(der);
    all.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  }
  return all;
}

// ExactSequence issues the way the plain OpenSSL sequence does: the request's key decoded
// (X509_REQ_get_pubkey) and encoded again into the certificate (X509_set_pubkey), at the moment
// now, with the given serial.
X509P ExactSequence(const std::string& csr, X509* caCert, EVP_PKEY* caKey, long serial, time_t now,
                    long notBeforeOffset, bool isCA) {
  BioP bio(BIO_new_mem_buf(csr.data(), static_cast<int>(csr.size())));
  ReqP req(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
  const Ssl::EvpPkeyPtr owned(X509_REQ_get_pubkey(req.get()));
  EVP_PKEY* key = owned.get();
  EXPECT_EQ(X509_REQ_verify(req.get(), key), 1);
  X509P cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_set_subject_name(cert.get(), X509_REQ_get_subject_name(req.get()));
  X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert));
  X509_set_pubkey(cert.get(), key);
  X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, notBeforeOffset, &now);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, kLifetime, &now);
  AddConfiguredExtensions(cert.get(), caCert, isCA);
  X509_sign(cert.get(), caKey, EVP_sha1());
  return cert;
}

template <class Builder>
class BuilderTest : public QxTest::HomeTest {
 protected:
  using Request = typename Builder::Request;

  std::string Issue(Builder& builder, const std::string& csr, bool isCA = false,
                    QxSecCm::IssuedCertificate* issued = nullptr) {
    CharArray_t out;
    const int length = builder.BuildCertificate(Request(), CharArray_t(csr), out, isCA, issued);
    EXPECT_EQ(static_cast<size_t>(length), out.GetSize());
    return Str(out);
  }
  std::string SerialFile() const { return home / "data/sec/cs/serial.dat"; }
  void Configure(const char* ns, const char* key, const char* value) {
    QxMoxConfig::ConfigUpdate_t update;
    update.SetAttr(ns, key, value == nullptr ? QxMoxStr::String_t::Null() : value);
    update.Apply(false);
  }
};

using Twins = ::testing::Types<CertificateBuilder, CertificateBuilder_ex>;
TYPED_TEST_SUITE(BuilderTest, Twins);

TYPED_TEST(BuilderTest, FirstCertificateHasSerialOneExtensionsInOrderAndVerifiesUnderTheCa) {
  const Ca& ca = SharedCa();
  TypeParam builder(ca.cert, ca.key);
  QxSecCm::IssuedCertificate issued;
  const std::string pem = this->Issue(builder, SharedCsr(), false, &issued);
  ASSERT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem;

  EXPECT_EQ(ReadFile(this->SerialFile()), std::string("\x01\x00\x00\x00", 4));
  struct stat st {};
  ASSERT_EQ(stat((this->home / "data/sec/cs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(this->SerialFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  WriteFile(this->home / "ca.pem", Str(ca.cert.GetEncoded()));
  WriteFile(this->home / "cert.pem", pem);
  const std::string text = Run("openssl x509 -noout -text -in " + (this->home / "cert.pem"));
  EXPECT_NE(text.find("Version: 3 (0x2)"), std::string::npos) << text;
  EXPECT_NE(text.find("Serial Number: 1 (0x1)"), std::string::npos) << text;
  EXPECT_NE(text.find("Signature Algorithm: sha1WithRSAEncryption"), std::string::npos);
  EXPECT_NE(text.find("Subject: CN = node-1, L = Lausanne, O = Marrow-Tessing, OU = Quillax"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Issuer: CN = Test CA, L = Basel, O = Marrow-Tessing, OU = Quillax"),
            std::string::npos);
  EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos);
  EXPECT_NE(text.find("Exponent: 3 (0x3)"), std::string::npos);
  size_t at = 0;
  for (const char* line :
       {"X509v3 Authority Key Identifier:", "X509v3 Basic Constraints:", "CA:FALSE",
        "X509v3 Key Usage:", "Digital Signature, Non Repudiation, Key Encipherment",
        "Netscape Comment:", "MT Quillax Certificate", "X509v3 Subject Key Identifier:"}) {
    SCOPED_TRACE(line);
    const size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << text;
    at = found;
  }
  EXPECT_EQ(text.find("critical"), std::string::npos);

  // OpenSSL 3.0's verification accepts RSA-1024 with SHA-1 at its default level 1 (only TLS
  // refuses SHA-1 there), so no flag is needed; -x509_strict is not used.
  int status = -1;
  const std::string verify =
      "openssl verify -CAfile " + (this->home / "ca.pem") + " " + (this->home / "cert.pem");
  EXPECT_NE(Run(verify, &status).find("cert.pem: OK"), std::string::npos);
  EXPECT_EQ(status, 0);

  const X509P cert = ParseCert(pem);
  EXPECT_EQ(Seconds(X509_get0_notAfter(cert.get())) - Seconds(X509_get0_notBefore(cert.get())),
            kLifetime + kDay);
  const time_t now = std::time(nullptr);
  EXPECT_NEAR(static_cast<double>(Seconds(X509_get0_notBefore(cert.get()))),
              static_cast<double>(now - kDay), 5.0);
  // What the builder reports is what the certificate holds.
  EXPECT_EQ(issued.serial, 1u);
  EXPECT_EQ(issued.notBefore, Seconds(X509_get0_notBefore(cert.get())));
  EXPECT_EQ(issued.notAfter, Seconds(X509_get0_notAfter(cert.get())));

  const X509P second = ParseCert(this->Issue(builder, SharedCsr(), true, &issued));
  EXPECT_EQ(Serial(second.get()), 2);
  EXPECT_EQ(issued.serial, 2u);
  EXPECT_EQ(X509_check_ca(second.get()), 1);
  EXPECT_EQ(ReadFile(this->SerialFile()), std::string("\x02\x00\x00\x00", 4));
}

TYPED_TEST(BuilderTest, SelfSignedCertificateHasSerialZeroIssuerSubjectAnd7300Days) {
  X509Certificate cert;
  Key key;
  TypeParam::CreateSelfSignedCertificate("Root", "Bern", true, cert, key);
  ASSERT_FALSE(cert.IsNull());
  EXPECT_EQ(key.GetType(), Key::TYPE_RSA_PRIVATE);
  X509* x = cert.Native();
  EXPECT_EQ(Serial(x), 0);
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(x), X509_get_subject_name(x)), 0);
  EXPECT_EQ(Seconds(X509_get0_notAfter(x)) - Seconds(X509_get0_notBefore(x)), kLifetime + kDay);
  EXPECT_EQ(X509_check_private_key(x, key.Native()), 1);
  EXPECT_EQ(EVP_PKEY_get_bits(key.Native()), 1024);
  BIGNUM* e = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key.Native(), "e", &e), 1);
  const Ssl::BignumPtr exponent(e);
  EXPECT_TRUE(BN_is_word(e, 3));

  WriteFile(this->home / "root.pem", Str(cert.GetEncoded()));
  const std::string text = Run("openssl x509 -noout -text -in " + (this->home / "root.pem"));
  EXPECT_NE(text.find("Serial Number: 0 (0x0)"), std::string::npos) << text;
  EXPECT_NE(text.find("CA:TRUE"), std::string::npos);
  EXPECT_NE(text.find("Certificate Sign"), std::string::npos);
  EXPECT_NE(text.find("sha1WithRSAEncryption"), std::string::npos);
  int status = -1;
  Run("openssl verify -CAfile " + (this->home / "root.pem") + " " + (this->home / "root.pem"),
      &status);
  EXPECT_EQ(status, 0);
  // Making a CA draws no serial number.
  EXPECT_FALSE(QxMoxIo::File_t(this->SerialFile()).Exists());
  // The extensions are those the configuration strings give, the certificate its own issuer.
  const X509P configured(X509_dup(x));
  while (X509_get_ext_count(configured.get()) > 0)
    Ssl::X509ExtensionPtr(X509_delete_ext(configured.get(), 0));
  AddConfiguredExtensions(configured.get(), configured.get(), true);
  EXPECT_EQ(ExtensionsDer(x), ExtensionsDer(configured.get()));

  X509Certificate leaf;
  Key leafKey;
  TypeParam::CreateSelfSignedCertificate("Leaf", "Bern", false, leaf, leafKey);
  EXPECT_EQ(X509_check_ca(leaf.Native()), 0);
}

// The key copied as encoded, and the extensions the builder makes once and copies, give the
// bytes the plain sequence gives, for our CA and for one of the openssl tool without a
// subjectKeyIdentifier and with a 20-byte serial number (so authorityKeyIdentifier holds no key
// id), each certificate after one of the other kind.
TYPED_TEST(BuilderTest, CertificateHasTheDerOfThePlainOpenSslSequence) {
  const std::string tool =
      "OPENSSL_CONF=/dev/null openssl req -x509 -newkey rsa:1024 -nodes "
      "-subj /CN=Tool-CA -days 30 -addext subjectKeyIdentifier=none "
      "-addext authorityKeyIdentifier=none -keyout " +
      (this->home / "tool.key") + " -out " + (this->home / "tool.pem");
  int status = -1;
  const std::string output = Run(tool, &status);
  ASSERT_EQ(status, 0) << output;
  const Ca toolCa{X509Certificate(CharArray_t(ReadFile(this->home / "tool.pem"))),
                  Key(Key::TYPE_RSA_PRIVATE, CharArray_t(ReadFile(this->home / "tool.key")))};
  ASSERT_LT(X509_get_ext_by_NID(toolCa.cert.Native(), NID_subject_key_identifier, -1), 0);
  for (const Ca* ca : {&SharedCa(), &toolCa}) {
    TypeParam builder(ca->cert, ca->key);
    for (const bool isCA : {false, true, false}) {
      SCOPED_TRACE(std::string(ca == &toolCa ? "tool CA, " : "our CA, ") +
                   (isCA ? "CA" : "end entity"));
      const X509P ours = ParseCert(this->Issue(builder, SharedCsr(), isCA));
      const time_t moment = Seconds(X509_get0_notBefore(ours.get())) + kDay;
      const X509P exact = ExactSequence(SharedCsr(), ca->cert.Native(), ca->key.Native(),
                                        Serial(ours.get()), moment, -kDay, isCA);
      EXPECT_EQ(ExtensionsDer(ours.get()), ExtensionsDer(exact.get()));
      EXPECT_EQ(Der(ours.get()), Der(exact.get()));
    }
  }
}

TYPED_TEST(BuilderTest, RequestWithBadSignatureIsRefusedWithMessage7AndDrawsNoSerial) {
  const Ca& ca = SharedCa();
  TypeParam builder(ca.cert, ca.key);
  this->Issue(builder, SharedCsr());
  ASSERT_EQ(ReadFile(this->SerialFile()), std::string("\x01\x00\x00\x00", 4));

  X509CertRequest request("node-2", "Chur");
  // A subject changed after signing.
  ReqP changed(request.GetRequest());
  const Ssl::X509NamePtr name(X509_NAME_new());
  X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("intruder"), -1, -1, 0);
  X509_REQ_set_subject_name(changed.get(), name.get());
  // A request carrying one key, signed with another.
  X509CertRequest other("node-3", "Chur");
  ReqP foreign(request.GetRequest());
  X509_REQ_sign(foreign.get(), other.GetKeyPair(), EVP_sha1());

  for (X509_REQ* bad : {changed.get(), foreign.get()}) {
    const std::string csr = PemOf(bad);
    const QxMoxMsg::Message_t message =
        Caught<QxMoxMsg::RuntimeException_t>([&] { this->Issue(builder, csr); });
    EXPECT_EQ(message.GetNumber(), 7);
    EXPECT_EQ(message.Format(), "Could not verify signature on certificate request.");
    EXPECT_EQ(ReadFile(this->SerialFile()), std::string("\x01\x00\x00\x00", 4));
  }
  WriteFile(this->home / "bad.csr", PemOf(changed.get()));
  // OpenSSL's own tool agrees (it reports, but exits 0 in 3.0).
  EXPECT_NE(
      Run("openssl req -verify -noout -in " + (this->home / "bad.csr")).find("verify failure"),
      std::string::npos);
}

TYPED_TEST(BuilderTest, GarbageAndWrongKeysGiveTheCatalogMessages) {
  const Ca& ca = SharedCa();
  TypeParam builder(ca.cert, ca.key);
  const std::string& good = SharedCsr();
  struct Row {
    const char* name;
    std::string csr;
    const char* reason;  // in OpenSSL's text
  } rows[] = {
      {"not PEM", "hello", "no start line"},
      {"empty", "", "no start line"},
      {"truncated", good.substr(0, good.size() / 2), ""},
      {"body garbled",
       "-----BEGIN CERTIFICATE REQUEST-----\nAAAAAAAA\n-----END CERTIFICATE REQUEST-----\n", ""},
      {"claims encryption",
       "-----BEGIN CERTIFICATE REQUEST-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: "
       "DES-EDE3-CBC,0011223344556677\n\nAAAA\n-----END CERTIFICATE REQUEST-----\n",
       ""},
  };
  // An error an earlier, unrelated call left queued must never be named as the cause, and a
  // failure leaves the queue empty.
  const auto leaveStaleError = [] { ERR_raise_data(ERR_LIB_USER, 77, "stale"); };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    leaveStaleError();
    const QxMoxMsg::Message_t message =
        Caught<QxMoxMsg::RuntimeException_t>([&] { this->Issue(builder, row.csr); });
    EXPECT_EQ(message.GetNumber(), 5);
    const std::string text = message.Format().ToUtf8();
    EXPECT_EQ(text.rfind("Could not parse encoded X.509 certificate request (", 0), 0u) << text;
    EXPECT_NE(text.find(row.reason), std::string::npos) << text;
    EXPECT_EQ(text.find("lib(128)"), std::string::npos) << text;
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  EXPECT_FALSE(QxMoxIo::File_t(this->SerialFile()).Exists());

  const Key symmetric(Key::TYPE_SYMMETRIC, CharArray_t(std::string_view("0123456789abcdef")));
  QxMoxMsg::Message_t message =
      Caught<QxMoxMsg::IllegalArgumentError_t>([&] { TypeParam b(ca.cert, symmetric); });
  EXPECT_EQ(message.GetNumber(), 1);
  EXPECT_EQ(message.Format(), "Invalid key type.");
  Caught<QxMoxMsg::IllegalArgumentError_t>([&] { TypeParam b(ca.cert, Key()); });

  message = Caught<QxMoxMsg::RuntimeException_t>([&] { TypeParam b(X509Certificate(), ca.key); });
  EXPECT_EQ(message.GetNumber(), 4);

  X509Certificate otherCert;
  Key otherKey;
  TypeParam::CreateSelfSignedCertificate("Other", "Sion", true, otherCert, otherKey);
  leaveStaleError();
  message = Caught<QxMoxIo::IOException_t>([&] { TypeParam b(ca.cert, otherKey); });
  EXPECT_EQ(message.GetNumber(), 2);
  EXPECT_NE(message.Format().ToUtf8().find("key values mismatch"), std::string::npos);
}

TYPED_TEST(BuilderTest, NotBeforeOffsetComesFromConfiguration) {
  const Ca& ca = SharedCa();
  struct Row {
    const char* value;
    long offset;
  } rows[] = {{nullptr, kDay}, {"3600", 3600}, {"0", 0},    {"-5", kDay},
              {"", kDay},      {"abc", 0},     {"12x", 12}, {"99999999999", 2147483647}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value == nullptr ? "unset" : row.value);
    this->Configure("sec.cm.server", "NOT_BEFORE_OFFSET", row.value);
    TypeParam builder(ca.cert, ca.key);
    EXPECT_EQ(builder.GetNotBeforeOffset(), row.offset);
  }
  this->Configure("sec.cm.server", "NOT_BEFORE_OFFSET", "3600");
  TypeParam builder(ca.cert, ca.key);
  const time_t before = std::time(nullptr);
  const X509P cert = ParseCert(this->Issue(builder, SharedCsr()));
  const time_t after = std::time(nullptr);
  const time_t notBefore = Seconds(X509_get0_notBefore(cert.get()));
  EXPECT_GE(notBefore, before - 3600);
  EXPECT_LE(notBefore, after - 3600);
  EXPECT_EQ(Seconds(X509_get0_notAfter(cert.get())) - notBefore, kLifetime + 3600);
}

TYPED_TEST(BuilderTest, CaAliasFollowsCoreId) {
  EXPECT_EQ(TypeParam::GetCAAlias(), "");
  this->Configure("sec.core", "CORE_ID", "node7");
  EXPECT_EQ(TypeParam::GetCAAlias(), "CA_node7");
}

TYPED_TEST(BuilderTest, SerialFileIsFourBytesLittleEndian) {
  const Ca& ca = SharedCa();
  TypeParam builder(ca.cert, ca.key);
  std::filesystem::create_directories(this->home / "data/sec/cs");
  struct Row {
    const char* name;
    std::string content;
    long next;
    std::string after;
  } rows[] = {
      {"empty, as a crash during the first write leaves it", "", 1,
       std::string("\x01\x00\x00\x00", 4)},
      {"little-endian", std::string("\x10\x01\x00\x00", 4), 0x111,
       std::string("\x11\x01\x00\x00", 4)},
      {"high numbers", std::string("\xfe\xff\xff\x7f", 4), 0x7fffffff,
       std::string("\xff\xff\xff\x7f", 4)},
      {"longer file", std::string("\x05\x00\x00\x00trailer", 11), 6,
       std::string("\x06\x00\x00\x00trailer", 11)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(this->SerialFile(), row.content);
    const X509P cert = ParseCert(this->Issue(builder, SharedCsr()));
    EXPECT_EQ(Serial(cert.get()), row.next);
    EXPECT_EQ(ReadFile(this->SerialFile()), row.after);
  }
}

// One by one, and in blocks of 3 shared by the threads: 20 certificates reserve 21 numbers,
// the last of which is in the file.
TYPED_TEST(BuilderTest, ThreadsSharingOneBuilderGetDistinctSerials) {
  const Ca& ca = SharedCa();
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  for (const auto& [block, reserved] :
       {std::pair{1u, "\x14\x00\x00\x00"}, {3u, "\x15\x00\x00\x00"}}) {
    SCOPED_TRACE(block);
    std::filesystem::remove(this->SerialFile());
    TypeParam builder(ca.cert, ca.key);
    builder.SetSerialBlock(block);
    std::vector<std::vector<long>> serials(kThreads);
    std::vector<std::vector<std::vector<std::string>>> extensions(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          CharArray_t out;
          builder.BuildCertificate(typename TypeParam::Request(), CharArray_t(SharedCsr()), out,
                                   false);
          const X509P cert = ParseCert(Str(out));
          serials[t].push_back(Serial(cert.get()));
          extensions[t].push_back(ExtensionsDer(cert.get()));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    // The threads copied the builder's extensions at once: every copy whole.
    const X509P exact = ExactSequence(SharedCsr(), ca.cert.Native(), ca.key.Native(), 1,
                                      std::time(nullptr), -kDay, false);
    for (const auto& list : extensions) {
      for (const auto& each : list) EXPECT_EQ(each, ExtensionsDer(exact.get()));
    }
    std::set<long> all;
    for (const auto& list : serials) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kThreads * kEach);
    EXPECT_EQ(ReadFile(this->SerialFile()), std::string(reserved, 4));
  }
}

class BuilderTwinsTest : public QxTest::HomeTest {};

TEST_F(BuilderTwinsTest, PlainAndExtendedBuildersShareOneSerialSequence) {
  const Ca& ca = SharedCa();
  CertificateBuilder plain(ca.cert, ca.key);
  CertificateBuilder_ex extended(ca.cert, ca.key);
  const CharArray_t csr(SharedCsr());
  std::vector<long> serials;
  for (int i = 0; i < 3; ++i) {
    CharArray_t out;
    plain.BuildCertificate(QxSecCm::CertRequest(), csr, out, false);
    serials.push_back(Serial(ParseCert(Str(out)).get()));
    extended.BuildCertificate(QxSecCm::CertRequest_ex(), csr, out, false);
    serials.push_back(Serial(ParseCert(Str(out)).get()));
  }
  EXPECT_EQ(serials, (std::vector<long>{1, 2, 3, 4, 5, 6}));
}

TEST_F(BuilderTwinsTest, SerialFilePathsThatCannotBeUsedGiveMessages20And21) {
  const Ca& ca = SharedCa();
  CertificateBuilder builder(ca.cert, ca.key);
  const auto issue = [&] {
    CharArray_t out;
    builder.BuildCertificate(QxSecCm::CertRequest(), CharArray_t(SharedCsr()), out, false);
  };
  // A file where the directory should be: not even root can create the directory.
  std::filesystem::create_directories(home / "data");
  WriteFile(home / "data/sec", "file");
  QxMoxMsg::Message_t message = Caught<QxMoxMsg::RuntimeException_t>(issue);
  EXPECT_EQ(message.GetNumber(), 20);
  EXPECT_NE(message.Format().ToUtf8().find("data/sec/cs/'."), std::string::npos)
      << message.Format().ToUtf8();
  EXPECT_FALSE(message.GetDetails().empty());

  std::filesystem::remove(home / "data/sec");
  std::filesystem::create_directories(home / "data/sec/cs/serial.dat");
  message = Caught<QxMoxMsg::RuntimeException_t>(issue);
  EXPECT_EQ(message.GetNumber(), 21);
  EXPECT_NE(message.Format().ToUtf8().find("serial.dat'."), std::string::npos);

  // The lock was released on the way out: the next builder call proceeds.
  std::filesystem::remove(home / "data/sec/cs/serial.dat");
  issue();
  EXPECT_EQ(ReadFile(home / "data/sec/cs/serial.dat"), std::string("\x01\x00\x00\x00", 4));
}

// The last number the file can hold is issued once; after it nothing is, so neither the CA's
// serial 0 nor any other number comes round again: a block reserved there is cut short. A cut
// file is not taken for a new one.
TEST_F(BuilderTwinsTest, SerialFileRefusesAtItsLastNumberAndWhenCutAndIsKeptPrivate) {
  const Ca& ca = SharedCa();
  CertificateBuilder builder(ca.cert, ca.key);
  builder.SetSerialBlock(8);
  const std::string file = home / "data/sec/cs/serial.dat";
  std::filesystem::create_directories(home / "data/sec/cs");
  for (const char* dir : {"data", "data/sec/cs"}) ASSERT_EQ(chmod((home / dir).c_str(), 0755), 0);
  WriteFile(file, std::string("\xfe\xff\xff\xff", 4));
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  const auto issue = [&] {
    CharArray_t out;
    builder.BuildCertificate(QxSecCm::CertRequest(), CharArray_t(SharedCsr()), out, false);
    return Serial(ParseCert(Str(out)).get());
  };
  EXPECT_EQ(issue(), 0xffffffffL);
  for (const auto& [path, mode] :
       {std::pair{home / "data", 0700u}, {home / "data/sec/cs", 0700u}, {file, 0600u}}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }

  // At the last number, then again (nothing after it), then cut to 2 bytes.
  const std::string last("\xff\xff\xff\xff", 4);
  for (const auto& [content, reason] : {std::pair{last, "largest number"},
                                        {last, "largest number"},
                                        {std::string("\x07\x00", 2), "fewer than 4 bytes"}}) {
    SCOPED_TRACE(reason);
    WriteFile(file, content);
    const QxMoxMsg::Message_t message = Caught<QxMoxMsg::RuntimeException_t>(issue);
    EXPECT_EQ(message.GetNumber(), 21);
    ASSERT_FALSE(message.GetDetails().empty());
    EXPECT_NE(message.GetDetails().front().Format().ToUtf8().find(reason), std::string::npos);
    EXPECT_EQ(ReadFile(file), content);
  }
}

}  // namespace

// SignedRequest makes a request for subject CN=cn signed by key; bits, when given, replace the
// key bits of its SubjectPublicKeyInfo before signing.
std::string SignedRequest(EVP_PKEY* key, const char* cn, bool oldHeader,
                          const std::string* bits = nullptr) {
  ReqP req(X509_REQ_new());
  X509_REQ_set_pubkey(req.get(), key);
  X509_NAME_add_entry_by_txt(X509_REQ_get_subject_name(req.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_REQ_add1_attr_by_txt(req.get(), "challengePassword", MBSTRING_ASC,
                            reinterpret_cast<const unsigned char*>("secret"), -1);
  if (bits != nullptr) {
    X509_PUBKEY* pub = X509_REQ_get_X509_PUBKEY(req.get());
    unsigned char* copy = static_cast<unsigned char*>(OPENSSL_memdup(bits->data(), bits->size()));
    X509_PUBKEY_set0_param(pub, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr, copy,
                           static_cast<int>(bits->size()));
  }
  X509_REQ_sign(req.get(), key, EVP_sha256());
  std::string pem = PemOf(req.get());
  for (const std::string line : {"BEGIN ", "END "}) {
    const size_t at = pem.find(line + "CERTIFICATE REQUEST");
    if (oldHeader && at != std::string::npos) pem.insert(at + line.size(), "NEW ");
  }
  return pem;
}

TEST_F(BuilderTwinsTest, RequestsFromOtherToolsKeepTheirKeyBytesAndRefuseMalformedKeys) {
  const Ca& ca = SharedCa();
  CertificateBuilder builder(ca.cert, ca.key);
  const Ssl::EvpPkeyPtr ec(EVP_EC_gen("P-256"));
  const Ssl::EvpPkeyPtr rsa(EVP_RSA_gen(2048));
  ASSERT_TRUE(ec && rsa);
  // An EC key takes OpenSSL's general decoder, an RSA key with the usual exponent the direct
  // one; both with an attribute and one under the old PEM header.
  for (const std::string& csr :
       {SignedRequest(ec.get(), "ec-node", false), SignedRequest(rsa.get(), "rsa-node", true)}) {
    CharArray_t out;
    builder.BuildCertificate(QxSecCm::CertRequest(), CharArray_t(csr), out, false);
    const X509P ours = ParseCert(Str(out));
    ASSERT_TRUE(ours);
    const time_t moment = Seconds(X509_get0_notBefore(ours.get())) + kDay;
    const X509P exact = ExactSequence(csr, ca.cert.Native(), ca.key.Native(), Serial(ours.get()),
                                      moment, -kDay, false);
    EXPECT_EQ(Der(ours.get()), Der(exact.get()));
  }

  // RSA key bits with bytes after the key, correctly signed: the key is malformed (message 6)
  // and no serial number is used up.
  unsigned char* der = nullptr;
  const int length = i2d_PublicKey(rsa.get(), &der);
  const Ssl::OpenSslBytes owned(der);
  std::string bits(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  bits += std::string("\x05\x00", 2);
  const std::string trailing = SignedRequest(rsa.get(), "rsa-node", false, &bits);
  const std::string serialBefore = ReadFile(home / "data/sec/cs/serial.dat");
  const auto build = [&](const std::string& csr) {
    CharArray_t out;
    builder.BuildCertificate(QxSecCm::CertRequest(), CharArray_t(csr), out, false);
  };
  EXPECT_EQ(Caught<QxMoxMsg::RuntimeException_t>([&] { build(trailing); }).GetNumber(), 6);

  // A subject that could pass for two lines of a listing is refused by name.
  for (const char* cn : {"node\tforged\nown", "del\x7f"}) {
    SCOPED_TRACE(cn);
    const std::string text = Caught<QxMoxMsg::IllegalArgumentError_t>(
                                 [&] { build(SignedRequest(rsa.get(), cn, false)); })
                                 .Format()
                                 .ToUtf8();
    EXPECT_NE(text.find("value of CN in the request's subject holds a control character"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(ReadFile(home / "data/sec/cs/serial.dat"), serialBefore);
}
