// Key: an RSA private key (PEM) or a raw symmetric key.
#pragma once

#include <cstddef>
#include <memory>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace QxSecCore {

class KeyData;

// Key is an immutable key value; copies share it. Symmetric key bytes are wiped from memory
// when the last copy goes.
class Key {
 public:
  // Key types.
  enum Type_e {
    TYPE_NONE = 0,         // the empty key of the default constructor
    TYPE_RSA_PRIVATE = 1,  // an RSA private key, given as unencrypted PEM
    TYPE_SYMMETRIC = 2,    // raw symmetric key bytes
  };
  // Password-derivation algorithms of Key(password, algorithm).
  enum Derivation_e { DERIVE_PBKDF2_SHA256 = 1 };

  Key() = default;
  // Key(type, bytes) and Key(type, data, length) build a key of the given type:
  //  - TYPE_RSA_PRIVATE: bytes hold an unencrypted PEM private key ("BEGIN PRIVATE KEY" or
  //    "BEGIN RSA PRIVATE KEY"); it is parsed now and must be RSA. An encrypted key is
  //    refused (never prompts for a password).
  //  - TYPE_SYMMETRIC: bytes are the key itself; at least one byte.
  // Throws QxMoxMsg::IllegalArgumentError_t (with OpenSSL's error text where it has one) for
  // an unknown type or bytes that do not form such a key.
  Key(int type, const QxMoxArray::CharArray_t& bytes);
  Key(int type, const void* data, size_t length);
  // Key(password, algorithm) derives a 16-byte TYPE_SYMMETRIC key from the password's UTF-8
  // bytes. algorithm must be DERIVE_PBKDF2_SHA256 (PBKDF2-HMAC-SHA256 with a fixed salt and
  // iteration count, so the same password always gives the same key); anything else throws
  // IllegalArgumentError_t.
  Key(const QxMoxStr::String_t& password, int algorithm);
  // FromNative wraps an RSA key, taking a reference of its own (EVP_PKEY_up_ref); the caller
  // keeps its reference. Throws IllegalArgumentError_t for null or a key that is not RSA
  // with its private part.
  static Key FromNative(EVP_PKEY* key);

  // GetType returns a Type_e value (TYPE_NONE for an empty key).
  int GetType() const;
  // GetEncoded returns TYPE_RSA_PRIVATE keys as unencrypted PKCS#8 PEM text ("BEGIN PRIVATE
  // KEY", whatever form was given) and TYPE_SYMMETRIC keys as their bytes. Throws
  // QxMoxMsg::IllegalStateError_t for an empty key.
  QxMoxArray::CharArray_t GetEncoded() const;
  // Native returns the OpenSSL key of a TYPE_RSA_PRIVATE key, owned by this key and its copies
  // and valid while one of them lives; throws IllegalStateError_t for other types.
  EVP_PKEY* Native() const;

 private:
  explicit Key(std::shared_ptr<const KeyData> data) : m_data(std::move(data)) {}
  const KeyData& Data() const;
  std::shared_ptr<const KeyData> m_data;
};

}  // namespace QxSecCore
