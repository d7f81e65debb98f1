// X509CertRequest: RSA key pair generation and PKCS#10 request building.
#include "qxseccm/X509CertRequest.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "CryptoSupport.h"
#include "OpenSslPtr.h"
#include "SubjectValue.h"
#include "TraceMacros.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Initializer.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace Ssl = QxSecCore::Ssl;
namespace {

constexpr int kKeyBits = 1024;
constexpr unsigned long kPublicExponent = 3;
constexpr int kMaxAttempts = 10;
constexpr uint32_t kLevel = 9;

struct SubjectEntry {
  const char* attribute;
  const char* fixedValue;  // null: the request's own value
};
// In ascending order of the attribute names, which is the order of the subject.
constexpr SubjectEntry kSubject[] = {
    {"commonName", nullptr},
    {"localityName", nullptr},
    {"organizationName", "Marrow-Tessing"},
    {"organizationalUnitName", "Quillax"},
};

constexpr ExceptionTracer::E kSide = ExceptionTracer::Client;

QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetClientTracerProc(); }
QxMoxTrc::TraceObj_t& OpTracer() { return QxSecCmTrc::Tracer::GetClientTracerOperation(); }

Ssl::EvpPkeyPtr GenerateRsaKey() {
  Ssl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Ssl::BignumPtr exponent(BN_new());
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || exponent == nullptr || BN_set_word(exponent.get(), kPublicExponent) != 1 ||
      EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1 ||
      EVP_PKEY_generate(ctx.get(), &key) != 1) {
    Crypto::Fail(kSide, 72);
  }
  return Ssl::EvpPkeyPtr(key);
}

// CheckKey is RSA_check_key on the provider key: 1 usable, 0 refused, below 0 the check failed.
int CheckKey(EVP_PKEY* key) {
  Ssl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (ctx == nullptr) return -1;
  const int check = EVP_PKEY_check(ctx.get());
  return check == 1 ? 1 : (check == 0 ? 0 : -1);
}

// CheckName refuses a name a certificate cannot hold (SubjectValue::Check); text with an
// unpaired UTF-16 surrogate has no UTF-8 form.
void CheckName(std::string_view attribute, const QxMoxStr::String_t& text, size_t maxLength) {
  SubjectValue::Check(
      ExceptionTracer::Client, attribute,
      text.HasUnpairedSurrogate() ? std::nullopt : std::optional<std::string>(text.ToUtf8()),
      maxLength);
}

}  // namespace

void X509CertRequest::KeyFree::operator()(EVP_PKEY* key) const noexcept { Ssl::EvpPkeyPtr{key}; }
void X509CertRequest::ReqFree::operator()(X509_REQ* req) const noexcept { Ssl::X509ReqPtr{req}; }

void X509CertRequest::CreateKeyPair() {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::CreateKeyPair()");
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  Ssl::EvpPkeyPtr key;
  int attempts = 0;
  int check = 0;
  for (;;) {
    QXSECCM_TRACE_LINE(OpTracer(), kLevel, "X509CertRequest: Generating RSA key pair");
    key = GenerateRsaKey();
    QXSECCM_TRACE_LINE(OpTracer(), kLevel,
                       "X509CertRequest: Checking if generated key pair can be used");
    check = CheckKey(key.get());
    ++attempts;
    if (check != 0) break;
    if (attempts >= kMaxAttempts) Crypto::Fail(kSide, 71);
  }
  if (check != 1) Crypto::Fail(kSide, 72);
  QXSECCM_TRACE_LINE(OpTracer(), kLevel,
                     "X509CertRequest: Succeeded in generating a RSA key pair after "
                         << attempts << " attempt(s)");
  m_keyPair.reset(key.release());
}

std::unique_ptr<X509_REQ, X509CertRequest::ReqFree> X509CertRequest::BuildRequest() const {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::BuildRequest()");
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  std::unique_ptr<X509_REQ, ReqFree> req(X509_REQ_new());
  // Version 0 is what an untouched request encodes too; set, the object also reports it.
  if (req == nullptr || X509_REQ_set_version(req.get(), 0) != 1 ||
      X509_REQ_set_pubkey(req.get(), m_keyPair.get()) != 1) {
    Crypto::Fail(kSide, 73);
  }
  Ssl::X509NamePtr name(X509_NAME_new());
  if (name == nullptr) Crypto::Fail(kSide, 73);

  const std::string commonName = m_commonName.ToUtf8();
  const std::string localityName = m_localityName.ToUtf8();
  const std::string* ownValues[] = {&commonName, &localityName};
  for (size_t i = 0; i < std::size(kSubject); ++i) {
    const SubjectEntry& row = kSubject[i];
    const char* value = row.fixedValue != nullptr ? row.fixedValue : ownValues[i]->c_str();
    const int nid = OBJ_txt2nid(row.attribute);
    if (nid == NID_undef) {
      Crypto::Fail(kSide, Crypto::OpenSslMessage(74) << row.attribute);
    }
    // UTF-8 in, so text beyond ASCII keeps its characters; ASCII text is encoded exactly as
    // with MBSTRING_ASC.
    Ssl::X509NameEntryPtr entry(X509_NAME_ENTRY_create_by_NID(
        nullptr, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1));
    if (entry == nullptr) Crypto::Fail(kSide, 75);
    if (X509_NAME_add_entry(name.get(), entry.get(), -1, 0) <= 0) Crypto::Fail(kSide, 76);
  }
  if (X509_REQ_set_subject_name(req.get(), name.get()) != 1) Crypto::Fail(kSide, 77);
  if (X509_REQ_sign(req.get(), m_keyPair.get(), EVP_sha1()) <= 0) Crypto::Fail(kSide, 73);
  return req;
}

X509CertRequest::X509CertRequest(const QxMoxStr::String_t& commonName,
                                 const QxMoxStr::String_t& localityName)
    : m_commonName(commonName), m_localityName(localityName) {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::Constructor()");
  // Before the key pair, the slow step: names a certificate cannot hold are refused at once.
  CheckName("common name (CN)", commonName, SubjectValue::kMaxCommonName);
  CheckName("locality name (L)", localityName, SubjectValue::kMaxLocalityName);
  Initializer::GlobalInit();
  CreateKeyPair();
}

X509CertRequest::~X509CertRequest() {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::Destructor()");
  m_keyPair.reset();
}

EVP_PKEY* X509CertRequest::GetKeyPair() const { return m_keyPair.get(); }

X509_REQ* X509CertRequest::GetRequest() const { return BuildRequest().release(); }

int X509CertRequest::GetEncoded(QxMoxArray::CharArray_t& out) const {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::GetEncoded()");
  const auto req = BuildRequest();
  const Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_mem());
  if (PEM_write_bio_X509_REQ(bio.get(), req.get()) != 1) Crypto::Fail(kSide, 78);
  return Crypto::CopyOut(bio.get(), out);
}

QxSecCore::Key X509CertRequest::GetPrivateKey() const {
  QXSECCM_BLOCK(ProcTracer(), "X509CertRequest::GetPrivateKey()");
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  const Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_mem());
  // The traditional form is PKCS#1, armoured "RSA PRIVATE KEY", unencrypted.
  if (PEM_write_bio_PrivateKey_traditional(bio.get(), m_keyPair.get(), nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1) {
    Crypto::Fail(kSide, 79);
  }
  QxMoxArray::CharArray_t pem;
  Crypto::CopyOut(bio.get(), pem);
  return QxSecCore::Key(QxSecCore::Key::TYPE_RSA_PRIVATE, pem);
}

}  // namespace QxSecCm
