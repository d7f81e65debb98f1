// Files, file streams, byte-array streams and data streams.
#include "qxmox/Io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "AllocationTracker.h"
#include "TestHome.h"
#include "qxmox/Exception.h"

using QxMoxArray::CharArray_t;
using QxMoxIo::CharArrayInputStream_t;
using QxMoxIo::CharArrayOutputStream_t;
using QxMoxIo::DataInputStream_t;
using QxMoxIo::DataOutputStream_t;
using QxMoxIo::File_t;
using QxMoxIo::FileInputStream_t;
using QxMoxIo::FileOutputStream_t;
using QxMoxIo::IOException_t;
using QxMoxStr::String_t;

using QxTest::Bytes;

namespace {

// A stream that does not know its length and hands out at most a few bytes per Read, like a
// pipe or socket does.
class TrickleStream : public QxMoxIo::InputStream_t {
 public:
  explicit TrickleStream(CharArray_t bytes) : m_in(std::move(bytes)) {}
  size_t Read(void* buffer, size_t length) override {
    return m_in.Read(buffer, length < 3 ? length : 3);
  }

 private:
  CharArrayInputStream_t m_in;
};

template <typename Fn>
void ExpectIOExceptionWithSmallAllocations(Fn&& fn) {
#if QX_TRACK_ALLOCATIONS
  g_largestAllocation = 0;
#endif
  EXPECT_THROW(fn(), IOException_t);
#if QX_TRACK_ALLOCATIONS
  EXPECT_LT(g_largestAllocation.load(), size_t{1} << 20);
#endif
}

std::vector<String_t> SampleStrings() {
  return {String_t::Null(),
          String_t(""),
          String_t("A"),
          String_t("caf\xC3\xA9 \xE2\x82\xAC"),
          String_t(u"\U0001F600 pair"),
          String_t(std::u16string(u"lone \xD800 high")),
          String_t(std::u16string(1, u'\0')),
          String_t(std::u16string(100000, u'\xFEFF'))};
}

}  // namespace

TEST(DataStream, ReadsBackExactlyWhatWasWritten) {
  const int32_t ints[] = {0, 1, -1, 255, 256, -256, 0x12345678, INT32_MIN, INT32_MAX};
  CharArrayOutputStream_t buffer;
  DataOutputStream_t out(buffer);
  for (int32_t v : ints) out.WriteInt32(v);
  for (const String_t& s : SampleStrings()) out.WriteUTF16String(s);

  auto check = [&](QxMoxIo::InputStream_t& source) {
    DataInputStream_t in(source);
    for (int32_t v : ints) EXPECT_EQ(in.ReadInt32(), v);
    for (const String_t& s : SampleStrings()) {
      const String_t back = in.ReadUTF16String();
      EXPECT_EQ(back.IsNull(), s.IsNull());
      EXPECT_TRUE(back == s) << "length " << s.GetLength();
    }
    EXPECT_THROW(in.ReadInt32(), IOException_t);  // nothing left
  };
  {
    SCOPED_TRACE("stream with known length");
    CharArrayInputStream_t source(buffer.ToCharArray());
    check(source);
  }
  {
    SCOPED_TRACE("stream of unknown length, short reads");
    TrickleStream source(buffer.ToCharArray());
    check(source);
  }
}

TEST(DataStream, WritesBigEndianInt32AndCountedUnits) {
  struct Row {
    const char* name;
    void (*write)(DataOutputStream_t&);
    CharArray_t expected;
  };
  const Row rows[] = {
      {"int 1", [](DataOutputStream_t& o) { o.WriteInt32(1); }, Bytes({0, 0, 0, 1})},
      {"int -2", [](DataOutputStream_t& o) { o.WriteInt32(-2); }, Bytes({0xff, 0xff, 0xff, 0xfe})},
      {"int min", [](DataOutputStream_t& o) { o.WriteInt32(INT32_MIN); }, Bytes({0x80, 0, 0, 0})},
      {"\"A\"", [](DataOutputStream_t& o) { o.WriteUTF16String("A"); },
       Bytes({0, 0, 0, 1, 0, 0x41})},
      {"null", [](DataOutputStream_t& o) { o.WriteUTF16String(String_t::Null()); },
       Bytes({0xff, 0xff, 0xff, 0xff})},
      {"empty", [](DataOutputStream_t& o) { o.WriteUTF16String(""); }, Bytes({0, 0, 0, 0})},
      {"pair", [](DataOutputStream_t& o) { o.WriteUTF16String(String_t(u"\U0001F600")); },
       Bytes({0, 0, 0, 2, 0xd8, 0x3d, 0xde, 0x00})},
      {"e acute", [](DataOutputStream_t& o) { o.WriteUTF16String("\xC3\xA9"); },
       Bytes({0, 0, 0, 1, 0x00, 0xe9})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CharArrayOutputStream_t buffer;
    DataOutputStream_t out(buffer);
    row.write(out);
    EXPECT_TRUE(buffer.ToCharArray() == row.expected);
  }
}

TEST(DataStream, RefusesTruncatedInput) {
  CharArrayOutputStream_t buffer;
  DataOutputStream_t out(buffer);
  out.WriteInt32(7);
  out.WriteUTF16String("hello");
  const CharArray_t whole = buffer.ToCharArray();
  for (size_t cut = 0; cut < whole.GetSize(); ++cut) {
    SCOPED_TRACE("first " + std::to_string(cut) + " bytes");
    for (bool knownLength : {true, false}) {
      CharArray_t part(whole.GetData(), cut);
      CharArrayInputStream_t known(part);
      TrickleStream unknown(part);
      DataInputStream_t in(knownLength ? static_cast<QxMoxIo::InputStream_t&>(known)
                                       : static_cast<QxMoxIo::InputStream_t&>(unknown));
      EXPECT_THROW(
          {
            in.ReadInt32();
            in.ReadUTF16String();
          },
          IOException_t);
    }
  }
}

TEST(DataStream, RefusesNegativeAndOverlongCounts) {
  const CharArray_t rows[] = {
      Bytes({0xff, 0xff, 0xff, 0xfe, 0, 0x41}),           // -2
      Bytes({0x80, 0, 0, 0, 0, 0x41}),                    // INT32_MIN
      Bytes({0x7f, 0xff, 0xff, 0xff, 0, 0x41, 0, 0x42}),  // INT32_MAX, 2 units follow
      Bytes({0, 0, 0, 3, 0, 0x41, 0, 0x42}),              // one unit short
      Bytes({0, 0x10, 0, 0, 0, 0x41}),                    // 1 Mi units, one follows
  };
  int index = 0;
  for (const CharArray_t& row : rows) {
    SCOPED_TRACE("row " + std::to_string(index++));
    {
      CharArrayInputStream_t source(row);
      DataInputStream_t in(source);
      ExpectIOExceptionWithSmallAllocations([&] { in.ReadUTF16String(); });
    }
    {
      TrickleStream source(row);
      DataInputStream_t in(source);
      ExpectIOExceptionWithSmallAllocations([&] { in.ReadUTF16String(); });
    }
  }
}

TEST(DataStream, OverlongCountThroughPipeFailsQuickly) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const unsigned char forged[] = {0x7f, 0xff, 0xff, 0xff, 0, 0x41, 0, 0x42};
  ASSERT_EQ(write(fds[1], forged, sizeof forged), static_cast<ssize_t>(sizeof forged));
  close(fds[1]);
  FileInputStream_t source("/proc/self/fd/" + std::to_string(fds[0]));
  close(fds[0]);
  EXPECT_EQ(source.Remaining(), -1);
  DataInputStream_t in(source);
  ExpectIOExceptionWithSmallAllocations([&] { in.ReadUTF16String(); });
}

class FileStream : public QxTest::HomeTest {};

TEST_F(FileStream, WritesTruncatesAppendsAndReadsBack) {
  const std::string path = home / "f.bin";
  {
    FileOutputStream_t out(path, false, 0600);
    out.Write(String_t("h\xC3\xA9llo"));  // UTF-8 on the wire
    out.Write('!');
    out.Sync();
    out.Close();
    EXPECT_THROW(out.Write('x'), IOException_t);
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 7);
  {
    FileOutputStream_t out(path, true);
    out.Write(CharArray_t(std::string_view("++")));
  }
  {
    FileInputStream_t in(path);
    EXPECT_EQ(in.Remaining(), 9);
    char buf[16] = {};
    EXPECT_EQ(in.Read(buf, 4), 4u);
    EXPECT_EQ(in.Remaining(), 5);
    EXPECT_EQ(in.Read(buf + 4, sizeof buf - 4), 5u);
    EXPECT_EQ(std::string(buf), "h\xC3\xA9llo!++");
    EXPECT_EQ(in.Read(buf, sizeof buf), 0u);
    EXPECT_EQ(in.Remaining(), 0);
    in.Close();
    EXPECT_THROW(in.Read(buf, 1), IOException_t);
  }
  {
    FileOutputStream_t out(path);  // truncates
  }
  FileInputStream_t in(path);
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_THROW(FileInputStream_t(home / "missing"), IOException_t);
  EXPECT_THROW(FileOutputStream_t(home / "no/such/dir/f"), IOException_t);
}

TEST_F(FileStream, DataStreamsRoundTripThroughAFile) {
  const std::string path = home / "data.bin";
  {
    FileOutputStream_t file(path);
    DataOutputStream_t out(file);
    out.WriteInt32(-42);
    for (const String_t& s : SampleStrings()) out.WriteUTF16String(s);
    out.Close();
  }
  FileInputStream_t file(path);
  DataInputStream_t in(file);
  EXPECT_EQ(in.ReadInt32(), -42);
  for (const String_t& s : SampleStrings()) EXPECT_TRUE(in.ReadUTF16String() == s);
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_THROW(in.ReadUTF16String(), IOException_t);
}

TEST_F(FileStream, FileMkdirsExistsDeleteAndParent) {
  const File_t deep(home / "a/b//c/");
  EXPECT_FALSE(deep.Exists());
  EXPECT_TRUE(deep.Mkdirs());
  EXPECT_TRUE(deep.IsDirectory());
  EXPECT_TRUE(deep.Mkdirs());  // already there
  EXPECT_TRUE(File_t(home / "a/b/c").Delete());
  EXPECT_FALSE(File_t(home / "a/b/c").Exists());
  EXPECT_FALSE(File_t(home / "a/b/c").Delete());
  EXPECT_FALSE(File_t(home / "a").Delete());  // not empty

  { FileOutputStream_t touch(home / "a/file"); }
  EXPECT_TRUE(File_t(home / "a/file").Exists());
  EXPECT_FALSE(File_t(home / "a/file").IsDirectory());
  EXPECT_FALSE(File_t(home / "a/file/sub").Mkdirs());  // a file is in the way
  EXPECT_FALSE(File_t("").Mkdirs());

  const std::pair<const char*, const char*> parents[] = {
      {"/a/b/c", "/a/b"}, {"/a/b/", "/a"}, {"/a", "/"},  {"/", "/"},
      {"a/b", "a"},       {"a", "."},      {"a//b", "a"}};
  for (const auto& [path, parent] : parents) {
    SCOPED_TRACE(path);
    EXPECT_EQ(File_t(std::string(path)).GetParent(), parent);
  }
}

TEST(CharArrayStream, ReadsInPiecesAndCollectsText) {
  CharArrayInputStream_t in(CharArray_t(std::string_view("abcdef")));
  char buf[4] = {};
  EXPECT_EQ(in.Remaining(), 6);
  EXPECT_EQ(in.Read(buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(in.Read(buf, 4), 2u);
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_EQ(in.Read(buf, 4), 0u);
  EXPECT_EQ(in.Remaining(), 0);

  CharArrayOutputStream_t out;
  out.Write(String_t(u"\U0001F600"));
  out.Write('x');
  EXPECT_EQ(out.Size(), 5u);
  EXPECT_TRUE(out.ToString() == String_t(u"\U0001F600x"));
}
