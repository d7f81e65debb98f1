// PKCS12Converter against OpenSSL's own pkcs12 tool and samples made by the openssl command.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxseccm/PKCS12Converter.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

using QxMoxArray::CharArray_t;
using QxSecCm::PKCS12Converter;
using QxSecCm::X509CertList;
using QxSecCore::Key;
using QxSecCore::X509Certificate;

namespace {

constexpr char kFixturePassword[] = "fixture-pass";

CharArray_t Text(const std::string& text, bool withNul = true) {
  return CharArray_t(text.c_str(), text.size() + (withNul ? 1 : 0));
}

CharArray_t ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return CharArray_t(bytes);
}

void WriteFile(const std::string& path, const CharArray_t& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.GetData()),
            static_cast<std::streamsize>(bytes.GetSize()));
}

// Run runs a shell command and returns its standard output and error together.
std::string Shell(const std::string& command, int* status = nullptr) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) output.append(buffer, n);
  const int rc = pclose(pipe.release());
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

// MessageNumber runs f and returns the catalog number of the RuntimeException_t it throws, and
// its text in text when given.
template <class F>
int MessageNumber(F&& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const QxMoxMsg::RuntimeException_t& e) {
    if (text != nullptr) *text = e.GetMessageList().First().Format().ToUtf8();
    return e.GetMessageList().First().GetNumber();
  }
  return 0;
}

class Pkcs12Test : public ::testing::Test {
 protected:
  // The samples are made once per run into a temporary directory by the committed script.
  static void SetUpTestSuite() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qxp12-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    s_dir = tmpl;
    int status = 0;
    const std::string output =
        Shell("bash '" QX_SOURCE_DIR "/tests/data/make_fixtures.sh' '" + s_dir + "'", &status);
    ASSERT_EQ(status, 0) << output;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(s_dir, ec);
  }

  static std::string Path(const std::string& name) { return s_dir + "/" + name; }
  static X509Certificate Cert(const std::string& name) {
    return X509Certificate(ReadFile(Path(name)));
  }
  static Key RsaKey(const std::string& name) {
    return Key(Key::TYPE_RSA_PRIVATE, ReadFile(Path(name)));
  }

  static inline std::string s_dir;
};

TEST_F(Pkcs12Test, RoundTripGivesBackCertificateKeyAndChainInOrder) {
  const X509Certificate leaf = Cert("leaf.pem");
  const Key key = RsaKey("leaf.key");
  const X509CertList chain = {Cert("ca.pem"), Cert("ec.pem"), Cert("leaf.pem")};
  struct Row {
    const char* name;
    std::string password;
    const X509CertList* list;
  };
  const X509CertList empty;
  const Row rows[] = {{"plain", "s3cret", nullptr},
                      {"empty password", "", nullptr},
                      {"empty list", "s3cret", &empty},
                      {"chain of three", "pass with blanks", &chain}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CharArray_t blob;
    if (row.list == nullptr) {
      PKCS12Converter::Encode(leaf, key, Text("name"), Text(row.password), blob);
    } else {
      EXPECT_EQ(
          &PKCS12Converter::Encode(leaf, key, *row.list, Text("name"), Text(row.password), blob),
          &blob);
    }
    ASSERT_FALSE(blob.IsEmpty());

    X509Certificate cert;
    Key decodedKey;
    X509CertList further;
    PKCS12Converter::Decode(cert, decodedKey, further, Text(row.password), blob);
    EXPECT_EQ(cert, leaf);
    EXPECT_EQ(cert.GetEncoded(), leaf.GetEncoded());
    EXPECT_EQ(decodedKey.GetType(), Key::TYPE_RSA_PRIVATE);
    EXPECT_EQ(decodedKey.GetEncoded(), key.GetEncoded());
    const X509CertList expected = row.list != nullptr ? *row.list : X509CertList();
    EXPECT_EQ(further, expected);

    X509Certificate plainCert;
    Key plainKey;
    PKCS12Converter::Decode(plainCert, plainKey, Text(row.password), blob);
    EXPECT_EQ(plainCert, leaf);
    EXPECT_EQ(plainKey.GetEncoded(), key.GetEncoded());
  }
}

TEST_F(Pkcs12Test, OpenSslToolShowsFixedAlgorithmsIterationsAndAttributes) {
  CharArray_t blob;
  PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("leaf.key"), X509CertList{Cert("ca.pem")},
                          Text("my-node"), Text("tool-pass"), blob);
  WriteFile(Path("ours.p12"), blob);

  int status = 0;
  const std::string info = Shell(
      "openssl pkcs12 -info -legacy -nodes -passin pass:tool-pass -in '" + Path("ours.p12") + "'",
      &status);
  ASSERT_EQ(status, 0) << info;
  EXPECT_NE(info.find("MAC: sha1, Iteration 1\n"), std::string::npos) << info;
  EXPECT_NE(info.find("PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048"),
            std::string::npos)
      << info;
  EXPECT_NE(info.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"),
            std::string::npos)
      << info;

  // The friendly name and the local key id (the certificate's SHA-1 digest) stand on the key
  // and on the leaf certificate, not on the further certificate.
  const std::string fingerprint =
      Shell("openssl x509 -noout -fingerprint -sha1 -in '" + Path("leaf.pem") + "'");
  // "sha1 Fingerprint=AB:CD:..." becomes "AB CD ...", the tool's form of the local key id.
  const size_t equals = fingerprint.find('=');
  ASSERT_NE(equals, std::string::npos) << fingerprint;
  std::string keyId = fingerprint.substr(equals + 1, fingerprint.find('\n') - equals - 1);
  std::replace(keyId.begin(), keyId.end(), ':', ' ');
  size_t ids = 0, names = 0;
  for (size_t at = info.find("localKeyID: " + keyId); at != std::string::npos;
       at = info.find("localKeyID: " + keyId, at + 1)) {
    ++ids;
  }
  for (size_t at = info.find("friendlyName: my-node"); at != std::string::npos;
       at = info.find("friendlyName: my-node", at + 1)) {
    ++names;
  }
  EXPECT_EQ(ids, 2u) << info;
  EXPECT_EQ(names, 2u) << info;

  const std::string pem =
      Shell("openssl pkcs12 -legacy -nokeys -clcerts -passin pass:tool-pass -in '" +
            Path("ours.p12") + "'");
  EXPECT_EQ(X509Certificate(CharArray_t(pem)), Cert("leaf.pem"));
}

TEST_F(Pkcs12Test, DecodesBlobsMadeByOpenSsl) {
  for (const char* name : {"leaf-legacy.p12", "leaf-modern.p12"}) {
    SCOPED_TRACE(name);
    X509Certificate cert;
    Key key;
    X509CertList further;
    PKCS12Converter::Decode(cert, key, further, Text(kFixturePassword), ReadFile(Path(name)));
    EXPECT_EQ(cert, Cert("leaf.pem"));
    EXPECT_EQ(key.GetEncoded(), RsaKey("leaf.key").GetEncoded());
    EXPECT_EQ(further, X509CertList{Cert("ca.pem")});
  }
}

TEST_F(Pkcs12Test, ListDecodeAppendsAfterExistingEntries) {
  X509CertList list = {Cert("ec.pem"), Cert("leaf.pem")};
  X509Certificate cert;
  Key key;
  PKCS12Converter::Decode(cert, key, list, Text(kFixturePassword),
                          ReadFile(Path("leaf-legacy.p12")));
  EXPECT_EQ(list, (X509CertList{Cert("ec.pem"), Cert("leaf.pem"), Cert("ca.pem")}));
}

TEST_F(Pkcs12Test, WrongPasswordIsMessage58AndChangesNothing) {
  const X509Certificate before = Cert("ec.pem");
  const Key beforeKey = RsaKey("other.key");
  CharArray_t ours;
  PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("leaf.key"), Text("n"), Text("right"), ours);
  const std::pair<const char*, CharArray_t> blobs[] = {
      {"ours", ours},
      {"openssl legacy", ReadFile(Path("leaf-legacy.p12"))},
      {"openssl modern", ReadFile(Path("leaf-modern.p12"))}};
  for (const auto& [name, blob] : blobs) {
    for (const char* password : {"wrong", "", "right\n"}) {
      SCOPED_TRACE(std::string(name) + " / '" + password + "'");
      X509Certificate cert = before;
      Key key = beforeKey;
      X509CertList list = {before};
      EXPECT_EQ(
          MessageNumber([&] { PKCS12Converter::Decode(cert, key, list, Text(password), blob); }),
          58);
      EXPECT_EQ(MessageNumber([&] { PKCS12Converter::Decode(cert, key, Text(password), blob); }),
                58);
      EXPECT_EQ(cert, before);
      EXPECT_EQ(key.GetEncoded(), beforeKey.GetEncoded());
      EXPECT_EQ(list, X509CertList{before});
    }
  }
}

TEST_F(Pkcs12Test, BytesThatAreNotOnePkcs12StructureAreMessage63) {
  CharArray_t blob;
  PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("leaf.key"), Text("n"), Text("p"), blob);
  auto truncated = [&](size_t size) { return CharArray_t(blob.GetData(), size); };
  CharArray_t trailing = blob;
  trailing.Append("\0", 1);
  // The outer SEQUENCE is 30 82 hi lo; claim far more content than there is.
  ASSERT_EQ(blob[1], 0x82);
  CharArray_t overlong = blob;
  overlong[2] = 0x7f;
  CharArray_t hugeLength(std::string_view("\x30\x84\x7f\xff\xff\xff\x02\x01\x03", 9));
  const std::pair<const char*, CharArray_t> rows[] = {
      {"empty", CharArray_t()},
      {"text", CharArray_t(std::string_view("not a PKCS#12 blob"))},
      {"PEM certificate", ReadFile(Path("leaf.pem"))},
      {"DER of another kind", CharArray_t(std::string_view("\x30\x03\x02\x01\x05", 5))},
      {"first byte only", truncated(1)},
      {"truncated", truncated(blob.GetSize() / 2)},
      {"one byte short", truncated(blob.GetSize() - 1)},
      {"trailing byte", trailing},
      {"over-long length", overlong},
      {"2 GiB length", hugeLength},
  };
  for (const auto& [name, bytes] : rows) {
    SCOPED_TRACE(name);
    X509Certificate cert;
    Key key;
    EXPECT_EQ(MessageNumber([&] { PKCS12Converter::Decode(cert, key, Text("p"), bytes); }), 63);
    EXPECT_TRUE(cert.IsNull());
  }
}

// A MAC that does not verify can only be reported as a wrong password: the password is what
// the MAC checks, so an altered blob and a wrong password look the same.
TEST_F(Pkcs12Test, CorruptedMacOrContentIsRefusedAsWrongPassword) {
  CharArray_t blob;
  PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("leaf.key"), Text("n"), Text("p"), blob);
  // The blob ends with the MAC data: 04 14 <20-byte digest> 04 08 <8-byte salt> (an iteration
  // count of 1 is the default and not written).
  ASSERT_GT(blob.GetSize(), 40u);
  ASSERT_EQ(blob[blob.GetSize() - 32], 0x04);
  ASSERT_EQ(blob[blob.GetSize() - 31], 0x14);
  CharArray_t badDigest = blob;
  badDigest[blob.GetSize() - 20] ^= 0x01;
  CharArray_t badSalt = blob;
  badSalt[blob.GetSize() - 5] ^= 0x80;
  CharArray_t badContent = blob;
  badContent[blob.GetSize() / 2] ^= 0x01;
  for (const CharArray_t* bytes : {&badDigest, &badSalt, &badContent}) {
    X509Certificate cert;
    Key key;
    EXPECT_EQ(MessageNumber([&] { PKCS12Converter::Decode(cert, key, Text("p"), *bytes); }), 58);
  }
}

TEST_F(Pkcs12Test, KeyThatDoesNotMatchCertificateIsRefusedOnEncode) {
  CharArray_t out(std::string_view("untouched"));
  EXPECT_EQ(MessageNumber([&] {
              PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("other.key"), Text("n"), Text("p"),
                                      out);
            }),
            57);
  EXPECT_EQ(out, CharArray_t(std::string_view("untouched")));
}

TEST_F(Pkcs12Test, KeyThatIsNotRsaAndEmptyArgumentsAreRefused) {
  CharArray_t out;
  EXPECT_THROW(
      PKCS12Converter::Encode(X509Certificate(), RsaKey("leaf.key"), Text("n"), Text("p"), out),
      QxMoxMsg::IllegalStateError_t);
  EXPECT_THROW(PKCS12Converter::Encode(Cert("leaf.pem"), Key(), Text("n"), Text("p"), out),
               QxMoxMsg::IllegalStateError_t);
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_EQ(MessageNumber([&] {
              PKCS12Converter::Encode(Cert("leaf.pem"), Key(Key::TYPE_SYMMETRIC, "0123456789", 10),
                                      Text("n"), Text("p"), out);
            }),
            2);
  X509Certificate cert;
  Key key;
  const auto decodeEc = [&] {
    PKCS12Converter::Decode(cert, key, Text(kFixturePassword), ReadFile(Path("ec.p12")));
  };
  std::string text;
  EXPECT_EQ(MessageNumber(decodeEc, &text), 61);
  EXPECT_NE(text.find("a key of type EC; only RSA keys are supported"), std::string::npos) << text;
  EXPECT_TRUE(cert.IsNull());
}

// A blob without a key, or whose key matches none of its certificates, leaves the certificate
// argument alone; its certificates then count as further certificates.
TEST_F(Pkcs12Test, PartialBlobsFillOnlyWhatTheyHold) {
  const X509Certificate before = Cert("ec.pem");
  {
    X509Certificate cert = before;
    Key key;
    X509CertList list;
    PKCS12Converter::Decode(cert, key, list, Text(kFixturePassword),
                            ReadFile(Path("cert-only.p12")));
    EXPECT_EQ(cert, before);
    EXPECT_EQ(key.GetType(), Key::TYPE_NONE);
    EXPECT_EQ(list, X509CertList{Cert("leaf.pem")});
  }
  {
    X509Certificate cert = before;
    Key key;
    PKCS12Converter::Decode(cert, key, Text(kFixturePassword), ReadFile(Path("key-only.p12")));
    EXPECT_EQ(cert, before);
    EXPECT_EQ(key.GetEncoded(), RsaKey("leaf.key").GetEncoded());
  }
}

TEST_F(Pkcs12Test, BlobWithoutMacIsMessage59) {
  X509Certificate cert;
  Key key;
  EXPECT_EQ(MessageNumber([&] {
              PKCS12Converter::Decode(cert, key, Text(kFixturePassword),
                                      ReadFile(Path("no-mac.p12")));
            }),
            59);
}

TEST_F(Pkcs12Test, TextEndsAtFirstNulOrAtEndOfArray) {
  CharArray_t blob;
  PKCS12Converter::Encode(Cert("leaf.pem"), RsaKey("leaf.key"), Text("name", false),
                          Text("pass", false), blob);
  X509Certificate cert;
  Key key;
  PKCS12Converter::Decode(cert, key, CharArray_t(std::string_view("pass\0ignored", 12)), blob);
  EXPECT_EQ(cert, Cert("leaf.pem"));
  int status = 0;
  WriteFile(Path("nul.p12"), blob);
  const std::string info =
      Shell("openssl pkcs12 -info -legacy -nokeys -passin pass:pass -in '" + Path("nul.p12") + "'",
            &status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_NE(info.find("friendlyName: name\n"), std::string::npos) << info;
}

TEST_F(Pkcs12Test, ThreadsShareCertificateAndKeyObjects) {
  const X509Certificate leaf = Cert("leaf.pem");
  const Key key = RsaKey("leaf.key");
  const X509CertList chain = {Cert("ca.pem")};
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        CharArray_t blob;
        PKCS12Converter::Encode(leaf, key, chain, Text("n"), Text("p"), blob);
        X509Certificate cert;
        Key decoded;
        X509CertList further;
        PKCS12Converter::Decode(cert, decoded, further, Text("p"), blob);
        if (!(cert == leaf) || further != chain) ++failures[t];
        if (MessageNumber([&] { PKCS12Converter::Decode(cert, decoded, Text("q"), blob); }) != 58) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
