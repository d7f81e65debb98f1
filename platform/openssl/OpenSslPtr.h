// Owning pointers for every OpenSSL type the libraries, programs and tests use, and the one
// OpenSSL error helper. Everything here is inline and hidden: no library exports it.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>
#include <string>
#include <string_view>

#include "qxmox/Exception.h"

namespace QxSecCore::Ssl {

// One deleter per type: these are the only places that free OpenSSL objects. Hidden, so the
// owners' instantiations stay inside each library instead of becoming exported weak symbols.
template <auto FreeFn>
struct [[gnu::visibility("hidden")]] Deleter{template <class T> void operator()(T* p)
                                                 const {FreeFn(p);
}  // namespace QxSecCore::Ssl
}
;

[[gnu::visibility("hidden")]] inline void FreeOpenSslMemory(void* p) { OPENSSL_free(p); }

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using OpenSslString = std::unique_ptr<char, Deleter<FreeOpenSslMemory>>;
using OpenSslBytes = std::unique_ptr<unsigned char, Deleter<FreeOpenSslMemory>>;

// Asn1ItemPtr<T, Item> owns a structure decoded with a custom ASN.1 template, freed through the
// template's item (Item returns it, as ASN1_ITEM_rptr does).
template <const ASN1_ITEM* (*Item)()>
struct [[gnu::visibility("hidden")]] Asn1ItemDeleter{
    void operator()(void* p) const {ASN1_item_free(static_cast<ASN1_VALUE*>(p), Item());
}
}
;
template <class T, const ASN1_ITEM* (*Item)()>
using Asn1ItemPtr = std::unique_ptr<T, Asn1ItemDeleter<Item>>;

// Shared forms for objects held by value classes whose copies share one object.
[[gnu::visibility("hidden")]] inline std::shared_ptr<X509> ShareX509(X509Ptr cert) {
  // A lambda, not Deleter: the shared_ptr's control block type then stays private to each user.
  return std::shared_ptr<X509>(cert.release(), [](X509* p) { X509_free(p); });
}
[[gnu::visibility("hidden")]] inline std::shared_ptr<EVP_PKEY> ShareEvpPkey(EvpPkeyPtr key) {
  return std::shared_ptr<EVP_PKEY>(key.release(), [](EVP_PKEY* p) { EVP_PKEY_free(p); });
}

// ErrorText returns the text of the oldest pending OpenSSL error of this thread ("unknown error"
// when none is pending) and clears the queue.
[[gnu::visibility("hidden")]] inline std::string ErrorText() {
  // The oldest error is the cause; what OpenSSL queued after it only repeats it from further up.
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char line[256];
  ERR_error_string_n(code, line, sizeof line);
  return line;
}

// Throw throws E with "<what>: <oldest OpenSSL error text>", clearing the error queue.
template <class E>
[[noreturn, gnu::visibility("hidden")]] void Throw(std::string_view what) {
  std::string text(what);
  text.append(": ").append(ErrorText());
  throw E(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(text)));
}

// Check throws E (see Throw) unless ok.
template <class E = QxMoxMsg::RuntimeException_t>
[[gnu::visibility("hidden")]] void Check(bool ok, std::string_view what) {
  if (!ok) Throw<E>(what);
}

// MemBio returns a read-only memory BIO over length bytes at data (not copied: they must
// outlive the BIO). Throws IllegalArgumentError_t when length does not fit OpenSSL's int.
[[gnu::visibility("hidden")]] inline BioPtr MemBio(const void* data, size_t length) {
  if (length > static_cast<size_t>(INT_MAX)) {
    QxMoxMsg::ThrowIllegalArgument("Input too large for OpenSSL");
  }
  static const char kEmpty[1] = {0};
  BioPtr bio(BIO_new_mem_buf(data != nullptr ? data : kEmpty, static_cast<int>(length)));
  Check(bio != nullptr, "BIO_new_mem_buf");
  return bio;
}
// BioBytes returns what was written to a memory BIO.
[[gnu::visibility("hidden")]] inline std::string_view BioBytes(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  if (size <= 0 || data == nullptr) return {};
  return {data, static_cast<size_t>(size)};
}

}  // namespace QxSecCore::Ssl

// PKCS#12 structures and certificate stacks; a stack frees the certificates it holds with it.
#include <openssl/pkcs12.h>

namespace QxSecCore::Ssl {

[[gnu::visibility("hidden")]] inline void FreeX509Stack(STACK_OF(X509) * stack) {
  sk_X509_pop_free(stack, X509_free);
}

using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeX509Stack>>;

}  // namespace QxSecCore::Ssl

// Requests, names, extensions and key contexts for key pair, request and certificate building.
#include <openssl/x509v3.h>

namespace QxSecCore::Ssl {

using X509ReqPtr = std::unique_ptr<X509_REQ, Deleter<X509_REQ_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using X509NameEntryPtr = std::unique_ptr<X509_NAME_ENTRY, Deleter<X509_NAME_ENTRY_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

}  // namespace QxSecCore::Ssl

// TLS contexts and certificate stores of the messaging transport.
#include <openssl/ssl.h>

namespace QxSecCore::Ssl {

using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL_free>>;
using BioMethodPtr = std::unique_ptr<BIO_METHOD, Deleter<BIO_meth_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, Deleter<EVP_MD_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;

}  // namespace QxSecCore::Ssl
