// Cipher, Crypt and the cipher streams: round trips, the message layout checked by an
// independent AES-GCM implementation, and refusal of every kind of altered message.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SecCoreFixtures.h"
#include "TestHome.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccore/Cipher.h"
#include "qxseccore/CipherStream.h"
#include "qxseccore/Key.h"

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCore::Cipher;
using QxSecCore::Crypt;
using QxSecCore::Key;

namespace {

CharArray_t Pattern(size_t size, unsigned seed = 1) {
  CharArray_t bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 131 + seed) >> 1);
  return bytes;
}

Key SymKey(size_t size, unsigned seed = 7) { return Key(Key::TYPE_SYMMETRIC, Pattern(size, seed)); }

CharArray_t Encipher(const Key& key, const CharArray_t& plain) {
  CharArray_t out;
  Cipher(Cipher::ENCRYPT_MODE, key, Cipher::ALG_AES_GCM).DoFinal(plain, 0, plain.GetSize(), out, 0);
  return out;
}

CharArray_t Decipher(const Key& key, const CharArray_t& message) {
  CharArray_t out;
  Cipher(Cipher::DECRYPT_MODE, key, Cipher::ALG_AES_GCM)
      .DoFinal(message, 0, message.GetSize(), out, 0);
  return out;
}

std::string Hex(const CharArray_t& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < bytes.GetSize(); ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

bool HavePythonAesGcm() {
  return std::system(
             "python3 -c 'from cryptography.hazmat.primitives.ciphers.aead import AESGCM'"
             " >/dev/null 2>&1") == 0;
}

// Stream stand-ins that record Close and can hand out data endlessly.
class RecordingOutput : public QxMoxIo::CharArrayOutputStream_t {
 public:
  void Close() override { ++closes; }
  int closes = 0;
};

class EndlessInput : public QxMoxIo::InputStream_t {
 public:
  explicit EndlessInput(long long announce) : m_announce(announce) {}
  size_t Read(void* buffer, size_t length) override {
    std::memset(buffer, 0, length);
    read += length;
    return length;
  }
  long long Remaining() const override { return m_announce; }
  size_t read = 0;

 private:
  long long m_announce;
};

}  // namespace

TEST(Cipher, RoundTripsForEveryKeyAndMessageLength) {
  for (size_t keySize : {1, 15, 16, 24, 31, 32, 33, 64}) {
    for (size_t plainSize : {0, 1, 15, 16, 17, 1000, 100000}) {
      SCOPED_TRACE("key " + std::to_string(keySize) + ", plaintext " + std::to_string(plainSize));
      const Key key = SymKey(keySize);
      const CharArray_t plain = Pattern(plainSize);
      const CharArray_t message = Encipher(key, plain);
      ASSERT_EQ(message.GetSize(), plainSize + Cipher::OVERHEAD);
      EXPECT_EQ(Decipher(key, message), plain);
      // A fresh nonce each time: the same plaintext never gives the same message.
      EXPECT_NE(Encipher(key, plain), message);
    }
  }
  const Key password(String_t("pw"), Key::DERIVE_PBKDF2_SHA256);
  EXPECT_EQ(Decipher(password, Encipher(password, Pattern(50))), Pattern(50));
}

TEST(Cipher, LayoutIsNonceCiphertextTagOfStandardAesGcm) {
  if (!HavePythonAesGcm()) GTEST_SKIP() << "python3 cryptography not available";
  QxTest::TempHome dir;
  // Keys of 16, 24 and 32 bytes are used as they are; any other length through SHA-256.
  for (size_t keySize : {16, 24, 32, 5, 40}) {
    SCOPED_TRACE("key " + std::to_string(keySize));
    const CharArray_t keyBytes = Pattern(keySize, 3);
    const CharArray_t plain = Pattern(77, 9);
    const CharArray_t message = Encipher(Key(Key::TYPE_SYMMETRIC, keyBytes), plain);
    const std::string script =
        "import sys,hashlib\n"
        "from cryptography.hazmat.primitives.ciphers.aead import AESGCM\n"
        "k=bytes.fromhex(sys.argv[1]); m=bytes.fromhex(sys.argv[2])\n"
        "k=k if len(k) in (16,24,32) else hashlib.sha256(k).digest()\n"
        "print(AESGCM(k).decrypt(m[:12], m[12:], None).hex())\n";
    QxTest::WriteFile(dir / "check.py", script);
    const std::string out = QxTest::RunCommand("python3 '" + (dir / "check.py") + "' " +
                                               Hex(keyBytes) + " " + Hex(message));
    EXPECT_EQ(out, Hex(plain) + "\n");
  }
}

TEST(Cipher, EveryAlteredByteIsRefused) {
  const Key key = SymKey(32);
  const CharArray_t message = Encipher(key, Pattern(40));
  // Nonce, ciphertext and tag: flipping any bit of any byte breaks the tag.
  for (size_t i = 0; i < message.GetSize(); ++i) {
    for (unsigned char bit : {0x01, 0x80}) {
      SCOPED_TRACE("byte " + std::to_string(i) + " bit " + std::to_string(bit));
      CharArray_t altered = message;
      altered[i] ^= bit;
      CharArray_t out(std::string_view("untouched"));
      EXPECT_THROW(
          Cipher(Cipher::DECRYPT_MODE, key, 1).DoFinal(altered, 0, altered.GetSize(), out, 0),
          QxMoxIo::IOException_t);
      EXPECT_EQ(out.ToStdString(), "untouched");
    }
  }
}

TEST(Cipher, TruncatedExtendedAndWrongKeyMessagesAreRefused) {
  const Key key = SymKey(16);
  const CharArray_t message = Encipher(key, Pattern(40));
  for (size_t length = 0; length < message.GetSize(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    CharArray_t out;
    EXPECT_THROW(Cipher(Cipher::DECRYPT_MODE, key, 1).DoFinal(message, 0, length, out, 0),
                 QxMoxIo::IOException_t);
  }
  CharArray_t extended = message;
  extended.Append("x", 1);
  EXPECT_THROW(Decipher(key, extended), QxMoxIo::IOException_t);
  EXPECT_THROW(Decipher(SymKey(16, 8), message), QxMoxIo::IOException_t);
  EXPECT_THROW(Decipher(SymKey(32), message), QxMoxIo::IOException_t);
  // The empty plaintext is authenticated too.
  EXPECT_THROW(Decipher(SymKey(16, 8), Encipher(key, CharArray_t())), QxMoxIo::IOException_t);
}

TEST(Cipher, DoFinalHonoursOffsetsAndWorksInPlace) {
  const Key key = SymKey(24);
  const Cipher enc(Cipher::ENCRYPT_MODE, key, 1);
  const Cipher dec(Cipher::DECRYPT_MODE, key, 1);
  const CharArray_t input(std::string_view("....payload...."));
  CharArray_t out(std::string_view("HEAD"));
  const size_t n = enc.DoFinal(input, 4, 7, out, 4);
  EXPECT_EQ(n, 7 + Cipher::OVERHEAD);
  EXPECT_EQ(out.GetSize(), 4 + n);
  EXPECT_EQ(out.View().substr(0, 4), "HEAD");

  CharArray_t plain(std::string_view("0123456789012345678901234567890123456789tail"));
  EXPECT_EQ(dec.DoFinal(out, 4, n, plain, 2), 7u);
  EXPECT_EQ(plain.ToStdString(), "01payload9012345678901234567890123456789tail");

  // Input and output the same array.
  CharArray_t same = Pattern(30);
  const size_t m = enc.DoFinal(same, 0, 30, same, 0);
  EXPECT_EQ(dec.DoFinal(same, 0, m, same, 0), 30u);
  same.Resize(30);
  EXPECT_EQ(same, Pattern(30));

  EXPECT_THROW(dec.DoFinal(input, 10, 6, out, 0), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(dec.DoFinal(input, 16, 0, out, 0), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(Cipher(2, key, 1), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(Cipher(0, key, 2), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(Cipher(0, Key(), 1), QxMoxMsg::IllegalArgumentError_t);
}

TEST(Crypt, PlatformKeyFileReplacesTheBuiltInKey) {
  QxTest::TempHome home;
  const CharArray_t plain(std::string_view("platform secret"));
  CharArray_t builtInMessage;
  const Crypt builtIn;
  EXPECT_FALSE(builtIn.UsesKeyFile());
  EXPECT_EQ(builtIn.Encrypt(plain.GetData(), plain.GetSize(), builtInMessage),
            plain.GetSize() + Cipher::OVERHEAD);
  CharArray_t back;
  EXPECT_EQ(Crypt().Decrypt(builtInMessage, back), plain.GetSize());
  EXPECT_EQ(back, plain);

  std::filesystem::create_directories(home / "etc");
  QxTest::WriteFile(home / "etc/platform.key", Pattern(32, 5).ToStdString());
  QxTest::WriteFile(home / "etc/qx.conf",
                    "[sec.core]\nPLATFORM_KEY_FILE = " + (home / "etc/platform.key") + "\n");
  const Crypt fromFile;
  EXPECT_TRUE(fromFile.UsesKeyFile());
  CharArray_t untouched(std::string_view("same"));
  EXPECT_THROW(fromFile.Decrypt(builtInMessage, untouched), QxMoxIo::IOException_t);
  EXPECT_EQ(untouched.ToStdString(), "same");
  CharArray_t fileMessage;
  fromFile.Encrypt(plain.GetData(), plain.GetSize(), fileMessage);
  EXPECT_THROW(builtIn.Decrypt(fileMessage, back), QxMoxIo::IOException_t);
  // The key is exactly the file's bytes (checked with a Cipher of our own).
  EXPECT_EQ(Decipher(Key(Key::TYPE_SYMMETRIC, Pattern(32, 5)), fileMessage), plain);

  // A relative path is taken below QX_HOME/etc.
  QxTest::WriteFile(home / "etc/qx.conf", "[sec.core]\nPLATFORM_KEY_FILE = platform.key\n");
  EXPECT_EQ(Crypt().Decrypt(fileMessage, back), plain.GetSize());

  for (const char* size : {"31", "33", "0"}) {
    SCOPED_TRACE(std::string("key file of ") + size + " bytes");
    QxTest::WriteFile(home / "etc/platform.key", Pattern(std::stoul(size)).ToStdString());
    EXPECT_THROW(Crypt(), QxMoxIo::IOException_t);
  }
  QxTest::WriteFile(home / "etc/qx.conf", "[sec.core]\nPLATFORM_KEY_FILE = missing.key\n");
  EXPECT_THROW(Crypt(), QxMoxIo::IOException_t);
}

TEST(CipherStream, RoundTripsThroughDataStreams) {
  const Key key = SymKey(32);
  QxMoxIo::CharArrayOutputStream_t sink;
  {
    QxSecIo::CipherOutputStream cipherOut(sink, Cipher(Cipher::ENCRYPT_MODE, key, 1));
    QxMoxIo::DataOutputStream_t data(cipherOut);
    data.WriteInt32(3);
    data.WriteUTF16String(String_t("request-id"));
    data.WriteUTF16String(String_t::Null());
    EXPECT_EQ(sink.Size(), 0u);  // nothing leaves before Close
    data.Close();
  }
  const size_t plainSize = 4 + (4 + 20) + 4;
  ASSERT_EQ(sink.Size(), plainSize + Cipher::OVERHEAD);

  QxMoxIo::CharArrayInputStream_t source(sink.ToCharArray());
  QxSecIo::CipherInputStream cipherIn(source, Cipher(Cipher::DECRYPT_MODE, key, 1));
  EXPECT_EQ(cipherIn.Remaining(), -1);
  QxMoxIo::DataInputStream_t data(cipherIn);
  EXPECT_EQ(data.ReadInt32(), 3);
  EXPECT_EQ(cipherIn.Remaining(), static_cast<long long>(plainSize - 4));
  EXPECT_EQ(data.ReadUTF16String(), String_t("request-id"));
  EXPECT_TRUE(data.ReadUTF16String().IsNull());
  EXPECT_EQ(cipherIn.Remaining(), 0);
  char byte;
  EXPECT_EQ(cipherIn.Read(&byte, 1), 0u);
  EXPECT_THROW(data.ReadInt32(), QxMoxIo::IOException_t);
}

TEST(CipherStream, AlteredTruncatedOrForeignFilesAreRefusedBeforeAnyByte) {
  QxTest::TempHome home;
  const Key key = SymKey(16);
  const std::string path = home / "state.dat";
  {
    QxMoxIo::FileOutputStream_t file(path, false, 0600);
    QxSecIo::CipherOutputStream out(file, Cipher(Cipher::ENCRYPT_MODE, key, 1));
    out.Write(Pattern(1000));
    out.Close();
  }
  const std::string good = QxTest::ReadFile(path);
  ASSERT_EQ(good.size(), 1000 + Cipher::OVERHEAD);

  std::vector<std::pair<std::string, std::string>> rows;
  for (size_t at : {0ul, 11ul, 12ul, 500ul, good.size() - 17, good.size() - 16, good.size() - 1}) {
    std::string altered = good;
    altered[at] ^= 0x20;
    rows.emplace_back("byte " + std::to_string(at) + " changed", altered);
  }
  rows.emplace_back("last byte cut", good.substr(0, good.size() - 1));
  rows.emplace_back("tag cut", good.substr(0, good.size() - Cipher::TAG_SIZE));
  rows.emplace_back("empty", "");
  rows.emplace_back("byte appended", good + "x");
  for (const auto& [name, bytes] : rows) {
    SCOPED_TRACE(name);
    QxTest::WriteFile(path, bytes);
    QxMoxIo::FileInputStream_t file(path);
    QxSecIo::CipherInputStream in(file, Cipher(Cipher::DECRYPT_MODE, key, 1));
    char buffer[16];
    EXPECT_THROW(in.Read(buffer, 1), QxMoxIo::IOException_t);
    EXPECT_THROW(in.Read(buffer, 1), QxMoxIo::IOException_t);  // and stays refused
  }

  QxTest::WriteFile(path, good);
  QxMoxIo::FileInputStream_t file(path);
  QxSecIo::CipherInputStream wrongKey(file, Cipher(Cipher::DECRYPT_MODE, SymKey(16, 2), 1));
  char buffer[16];
  EXPECT_THROW(wrongKey.Read(buffer, sizeof buffer), QxMoxIo::IOException_t);
}

TEST(CipherStream, UnclosedOutputWritesNothingAndCloseClosesBelow) {
  const Key key = SymKey(32);
  RecordingOutput sink;
  {
    QxSecIo::CipherOutputStream out(sink, Cipher(Cipher::ENCRYPT_MODE, key, 1));
    out.Write(Pattern(100));
  }  // abandoned, e.g. by an exception half-way through writing
  EXPECT_EQ(sink.Size(), 0u);
  EXPECT_EQ(sink.closes, 0);

  QxSecIo::CipherOutputStream out(sink, Cipher(Cipher::ENCRYPT_MODE, key, 1));
  out.Write(Pattern(10));
  out.Close();
  out.Close();
  EXPECT_EQ(sink.closes, 1);
  EXPECT_EQ(sink.Size(), 10 + Cipher::OVERHEAD);
  EXPECT_THROW(out.Write(Pattern(1)), QxMoxIo::IOException_t);

  EXPECT_THROW(QxSecIo::CipherOutputStream(sink, Cipher(Cipher::DECRYPT_MODE, key, 1)),
               QxMoxMsg::IllegalArgumentError_t);
  QxMoxIo::CharArrayInputStream_t none{CharArray_t()};
  EXPECT_THROW(QxSecIo::CipherInputStream(none, Cipher(Cipher::ENCRYPT_MODE, key, 1)),
               QxMoxMsg::IllegalArgumentError_t);
}

TEST(CipherStream, OversizedInputIsRefusedWithoutReadingForever) {
  const Cipher dec(Cipher::DECRYPT_MODE, SymKey(32), 1);
  char buffer[1];

  EndlessInput announced(1LL << 40);
  QxSecIo::CipherInputStream early(announced, dec);
  EXPECT_THROW(early.Read(buffer, 1), QxMoxIo::IOException_t);
  EXPECT_EQ(announced.read, 0u);

  EndlessInput unannounced(-1);
  QxSecIo::CipherInputStream late(unannounced, dec);
  EXPECT_THROW(late.Read(buffer, 1), QxMoxIo::IOException_t);
  EXPECT_GT(unannounced.read, QxSecIo::MAX_MESSAGE_SIZE);
  EXPECT_LT(unannounced.read, QxSecIo::MAX_MESSAGE_SIZE + 1024 * 1024);

  QxMoxIo::CharArrayOutputStream_t sink;
  QxSecIo::CipherOutputStream out(sink, Cipher(Cipher::ENCRYPT_MODE, SymKey(32), 1));
  const CharArray_t big(QxSecIo::MAX_MESSAGE_SIZE - Cipher::OVERHEAD);
  out.Write(big);
  EXPECT_THROW(out.Write(big.GetData(), 1), QxMoxIo::IOException_t);
}

TEST(Cipher, OneCipherServesSeveralThreads) {
  const Key key = SymKey(32);
  const Cipher enc(Cipher::ENCRYPT_MODE, key, 1);
  const Cipher dec(Cipher::DECRYPT_MODE, key, 1);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const CharArray_t plain = Pattern(100 + t, t);
        CharArray_t message, back;
        enc.DoFinal(plain, 0, plain.GetSize(), message, 0);
        dec.DoFinal(message, 0, message.GetSize(), back, 0);
        EXPECT_EQ(back, plain);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}
