// Certificate request records of both twins: defaults, sharing, the stream format read back by
// either twin, and hostile input.
#include "qxseccm/CertRequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "AllocationTracker.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"

using QxMoxArray::CharArray_t;
using QxMoxIo::CharArrayInputStream_t;
using QxMoxIo::CharArrayOutputStream_t;
using QxMoxIo::IOException_t;
using QxMoxStr::String_t;
using QxSecCm::CertRequest;
using QxSecCm::CertRequest_ex;
using QxSecCm::Platform;

using QxTest::Bytes;

namespace {

CharArray_t Concat(CharArray_t a, const CharArray_t& b) {
  a.Append(b.GetData(), b.GetSize());
  return a;
}

template <class R>
CharArray_t Write(const R& record, bool withPeer) {
  CharArrayOutputStream_t out;
  if (withPeer) {
    record->WriteToWithPeerAddress(&out);
  } else {
    record->WriteTo(&out);
  }
  return out.ToCharArray();
}

template <class R>
void ReadInto(const R& record, QxMoxIo::InputStream_t& in, bool withPeer) {
  if (withPeer) {
    record->ReadFromWithPeerAddress(&in);
  } else {
    record->ReadFrom(&in);
  }
}

// A stream that does not know its length and hands out a few bytes per Read, like a socket.
class TrickleStream : public QxMoxIo::InputStream_t {
 public:
  explicit TrickleStream(CharArray_t bytes) : m_in(std::move(bytes)) {}
  size_t Read(void* buffer, size_t length) override {
    return m_in.Read(buffer, length < 5 ? length : 5);
  }

 private:
  CharArrayInputStream_t m_in;
};

// A stream whose Read fails with ExceptionT once the first `good` bytes are consumed.
template <class ExceptionT>
class FailingInput : public QxMoxIo::InputStream_t {
 public:
  explicit FailingInput(CharArray_t good) : m_in(std::move(good)) {}
  size_t Read(void* buffer, size_t length) override {
    const size_t n = m_in.Read(buffer, length);
    if (n == 0) throw ExceptionT(QxMoxMsg::CreateWarn_t("link down"));
    return n;
  }

 private:
  CharArrayInputStream_t m_in;
};

// An output stream that fails once `limit` bytes are written.
class FailingOutput : public QxMoxIo::OutputStream_t {
 public:
  explicit FailingOutput(size_t limit) : m_limit(limit) {}
  void Write(const void*, size_t length) override {
    if (m_written + length > m_limit) QxMoxMsg::ThrowIO("disk full");
    m_written += length;
  }

 private:
  size_t m_limit;
  size_t m_written = 0;
};

// Fill gives every field of a record a distinct value; `seed` varies them between records.
template <class R>
R Filled(int seed, int64_t time) {
  R record;
  const std::string s = std::to_string(seed);
  record->SetId(String_t("id-" + s));
  record->SetContext(String_t(u"ctx \u00e9\U0001F600 ") + String_t(s));
  record->SetCN(String_t("cn-" + s));
  record->SetNodename(String_t("node-" + s));
  record->SetIPAddress(String_t("10.0.0." + s));
  record->SetPeerAddress(String_t("192.168.1." + s + ":4711"));
  Platform platform;
  platform->SetTypeCode(1 + seed);
  platform->SetVers1(10 + seed);
  platform->SetVers2(-20 - seed);
  platform->SetVers3(30 + seed);
  platform->SetCPUTypeCode(40 + seed);
  record->SetPlatform(platform);
  record->SetInstallationType(static_cast<typename R::InstallationType>(seed % 4));
  record->SetTimeReceived(static_cast<typename R::Time>(time));
  return record;
}

// ExpectSameItems compares items 1 to 11 and 13 of two records of either twin; the time and
// the peer address are checked where their rules apply.
template <class A, class B>
void ExpectSameItems(const A& a, const B& b) {
  EXPECT_TRUE(a.GetId() == b.GetId());
  EXPECT_TRUE(a.GetContext() == b.GetContext());
  EXPECT_TRUE(a.GetCN() == b.GetCN());
  EXPECT_TRUE(a.GetNodename() == b.GetNodename());
  EXPECT_TRUE(a.GetIPAddress() == b.GetIPAddress());
  EXPECT_EQ(a.GetPlatform().GetTypeCode(), b.GetPlatform().GetTypeCode());
  EXPECT_EQ(a.GetPlatform().GetVers1(), b.GetPlatform().GetVers1());
  EXPECT_EQ(a.GetPlatform().GetVers2(), b.GetPlatform().GetVers2());
  EXPECT_EQ(a.GetPlatform().GetVers3(), b.GetPlatform().GetVers3());
  EXPECT_EQ(a.GetPlatform().GetCPUTypeCode(), b.GetPlatform().GetCPUTypeCode());
  EXPECT_EQ(static_cast<int32_t>(a.GetInstallationType()),
            static_cast<int32_t>(b.GetInstallationType()));
  EXPECT_EQ(a->GetDateTimeReceived().m_extra, b->GetDateTimeReceived().m_extra);
}

// The record with id "A" and every other field at its default.
// clang-format off
const CharArray_t kMinimalRecord = Bytes({
    0, 0, 0, 1, 0, 0x41,                            // id "A"
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // context, cn, nodename, ip: empty
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // platform type, vers1, vers2
    0, 0, 0, 0, 0, 0, 0, 0,                          // vers3, cpu
    0, 0, 0, 3,                                      // installation type IT_NONE
    0, 0, 0, 0, 0, 0, 0, 0,                          // time, second member
});
// clang-format on

template <class R>
class CertRequestTwin : public ::testing::Test {};
using Twins = ::testing::Types<CertRequest, CertRequest_ex>;
TYPED_TEST_SUITE(CertRequestTwin, Twins);

// Reception times at the 32-bit edges that the twin can hold.
template <class R>
std::vector<int64_t> EdgeTimes() {
  std::vector<int64_t> times = {0, 1, -1, INT32_MAX, INT32_MIN, 1700000000};
  if constexpr (std::is_same_v<typename R::Time, int64_t>) {
    const int64_t wider[] = {int64_t{1} << 31,
                             (int64_t{1} << 32) + 5,
                             -(int64_t{1} << 31) - 1,
                             int64_t{1} << 32,
                             INT64_MAX,
                             INT64_MIN,
                             -(int64_t{1} << 32) - 7};
    times.insert(times.end(), std::begin(wider), std::end(wider));
  }
  return times;
}

}  // namespace

TYPED_TEST(CertRequestTwin, NewRecordHasDefaults) {
  const TypeParam record;
  for (const String_t& s : {record.GetId(), record.GetContext(), record.GetCN(),
                            record.GetNodename(), record.GetIPAddress(), record.GetPeerAddress()}) {
    EXPECT_TRUE(s == String_t(""));  // empty, not null
  }
  EXPECT_EQ(record.GetInstallationType(), TypeParam::IT_NONE);
  EXPECT_EQ(static_cast<int32_t>(TypeParam::IT_NONE), 3);
  EXPECT_EQ(record.GetTimeReceived(), 0);
  EXPECT_EQ(record->GetDateTimeReceived().m_extra, 0);
  const Platform platform = record.GetPlatform();
  ASSERT_FALSE(platform.IsNull());
  EXPECT_EQ(platform.GetTypeCode(), 0);
  EXPECT_EQ(platform.GetVers1(), 0);
  EXPECT_EQ(platform.GetVers2(), 0);
  EXPECT_EQ(platform.GetVers3(), 0);
  EXPECT_EQ(platform.GetCPUTypeCode(), 0);
  EXPECT_NE(TypeParam().GetPlatform(), platform);  // each record has a platform of its own
}

TYPED_TEST(CertRequestTwin, MinimalRecordHasTheFixedByteLayout) {
  const TypeParam record;
  record->SetId("A");
  const CharArray_t bytes = Write(record, false);
  EXPECT_EQ(bytes.GetSize(), size_t{6 + 4 * 4 + 8 * 4});
  EXPECT_TRUE(bytes == kMinimalRecord);
  EXPECT_TRUE(Write(record, true) == Concat(kMinimalRecord, Bytes({0, 0, 0, 0})));

  const TypeParam back;
  CharArrayInputStream_t in(kMinimalRecord);
  back->ReadFrom(&in);
  EXPECT_TRUE(back.GetId() == String_t("A"));
  EXPECT_EQ(back.GetInstallationType(), TypeParam::IT_NONE);
  EXPECT_EQ(in.Remaining(), 0);
}

TYPED_TEST(CertRequestTwin, RoundTripKeepsEveryFieldButThePeerAddressUnlessAsked) {
  const TypeParam written = Filled<TypeParam>(3, 1234567);
  written->SetId(String_t::Null());                               // null travels as -1
  written->SetCN(String_t(std::u16string(u"lone \xD800 unit")));  // unpaired surrogate
  written->SetInstallationType(static_cast<typename TypeParam::InstallationType>(7));
  for (bool withPeer : {false, true}) {
    SCOPED_TRACE(withPeer ? "with peer address" : "without peer address");
    const TypeParam read;
    read->SetPeerAddress("before");
    CharArrayInputStream_t in(Write(written, withPeer));
    ReadInto(read, in, withPeer);
    EXPECT_EQ(in.Remaining(), 0);
    ExpectSameItems(read, written);
    EXPECT_TRUE(read.GetId().IsNull());
    EXPECT_EQ(static_cast<int32_t>(read.GetInstallationType()), 7);
    EXPECT_EQ(read.GetTimeReceived(), 1234567);
    EXPECT_TRUE(read.GetPeerAddress() == (withPeer ? written.GetPeerAddress() : "before"));
  }
}

TYPED_TEST(CertRequestTwin, TimeTravelsAsItsLow32BitsAndIsSignExtended) {
  for (int64_t time : EdgeTimes<TypeParam>()) {
    SCOPED_TRACE("time " + std::to_string(time));
    const TypeParam written;
    written->SetTimeReceived(static_cast<typename TypeParam::Time>(time));
    EXPECT_EQ(static_cast<int64_t>(written.GetTimeReceived()), time);
    const CharArray_t bytes = Write(written, false);
    ASSERT_EQ(bytes.GetSize(), kMinimalRecord.GetSize() - 2);
    const auto low = static_cast<uint32_t>(static_cast<uint64_t>(time));
    const size_t at = bytes.GetSize() - 8;  // item 12
    const uint32_t item12 = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
                            (uint32_t{bytes[at + 2]} << 8) | uint32_t{bytes[at + 3]};
    EXPECT_EQ(item12, low);

    const auto expected = static_cast<int32_t>(low);
    const CertRequest plain;
    const CertRequest_ex ex;
    CharArrayInputStream_t in1(bytes);
    CharArrayInputStream_t in2(bytes);
    plain->ReadFrom(&in1);
    ex->ReadFrom(&in2);
    EXPECT_EQ(plain.GetTimeReceived(), expected);
    EXPECT_EQ(ex.GetTimeReceived(), int64_t{expected});
  }
}

TYPED_TEST(CertRequestTwin, SetTimeReceivedResetsTheSecondMember) {
  CharArray_t bytes = kMinimalRecord;
  bytes[bytes.GetSize() - 1] = 9;  // second member 9
  bytes[bytes.GetSize() - 5] = 5;  // time 5
  const TypeParam record;
  CharArrayInputStream_t in(bytes);
  record->ReadFrom(&in);
  EXPECT_EQ(record.GetTimeReceived(), 5);
  EXPECT_EQ(record->GetDateTimeReceived().m_extra, 9);
  EXPECT_TRUE(Write(record, false) == bytes);  // carried unchanged
  record->SetTimeReceived(6);
  EXPECT_EQ(record->GetDateTimeReceived().m_extra, 0);
}

TYPED_TEST(CertRequestTwin, PeerAddressFormsStayCompatible) {
  const TypeParam written = Filled<TypeParam>(1, 77);
  const CharArray_t without = Write(written, false);
  const CharArray_t with = Write(written, true);
  // The stream with the peer address begins with exactly the stream without it.
  ASSERT_GT(with.GetSize(), without.GetSize());
  EXPECT_TRUE(CharArray_t(with.GetData(), without.GetSize()) == without);

  {
    SCOPED_TRACE("written with, read without: the address stays unread");
    const TypeParam read;
    read->SetPeerAddress("mine");
    CharArrayInputStream_t in(with);
    read->ReadFrom(&in);
    EXPECT_EQ(in.Remaining(), static_cast<long long>(4 + 2 * written.GetPeerAddress().GetLength()));
    EXPECT_TRUE(read.GetPeerAddress() == String_t("mine"));
  }
  {
    SCOPED_TRACE("written without, read with: succeeds, the address is kept");
    for (bool knownLength : {true, false}) {
      const TypeParam read;
      read->SetPeerAddress("mine");
      CharArrayInputStream_t known(without);
      TrickleStream unknown(without);
      ReadInto(read, knownLength ? static_cast<QxMoxIo::InputStream_t&>(known) : unknown, true);
      ExpectSameItems(read, written);
      EXPECT_TRUE(read.GetPeerAddress() == String_t("mine"));
    }
  }
  {
    SCOPED_TRACE("a corrupt peer address is an IOException_t and is ignored");
    const TypeParam read;
    read->SetPeerAddress("mine");
    CharArrayInputStream_t in(Concat(without, Bytes({0x7f, 0xff, 0xff, 0xff, 0, 0x41})));
    read->ReadFromWithPeerAddress(&in);
    EXPECT_TRUE(read.GetPeerAddress() == String_t("mine"));
  }
  {
    SCOPED_TRACE("any other failure of item 14 propagates");
    const TypeParam read;
    FailingInput<QxMoxMsg::RuntimeException_t> in(without);
    EXPECT_THROW(read->ReadFromWithPeerAddress(&in), QxMoxMsg::RuntimeException_t);
  }
}

TYPED_TEST(CertRequestTwin, ReadFromChangesThePlatformBodyInPlace) {
  const TypeParam record;
  const TypeParam other;
  const Platform shared;
  record->SetPlatform(shared);
  other->SetPlatform(shared);
  EXPECT_EQ(record.GetPlatform(), shared);
  const Platform before = record.GetPlatform();

  const TypeParam source = Filled<TypeParam>(2, 0);
  CharArrayInputStream_t in(Write(source, false));
  record->ReadFrom(&in);

  EXPECT_EQ(record.GetPlatform(), shared);  // no new body
  for (const Platform& seen : {before, other.GetPlatform(), shared}) {
    EXPECT_EQ(seen.GetTypeCode(), 3);
    EXPECT_EQ(seen.GetVers2(), -22);
    EXPECT_EQ(seen.GetCPUTypeCode(), 42);
  }
}

TYPED_TEST(CertRequestTwin, SetPlatformRefusesAnEmptyPlatform) {
  const TypeParam record;
  const Platform kept = record.GetPlatform();
  Platform empty;
  static_cast<QxSecCm::Object&>(empty) = QxSecCm::Object();
  EXPECT_THROW(record->SetPlatform(empty), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_EQ(record.GetPlatform(), kept);
  CharArrayInputStream_t in(kMinimalRecord);
  record->ReadFrom(&in);  // the record still has somewhere to put the platform values
  EXPECT_EQ(kept.GetTypeCode(), 0);
}

TYPED_TEST(CertRequestTwin, TruncatedInputKeepsTheItemsNotYetRead) {
  const TypeParam next = Filled<TypeParam>(5, 555);
  const CharArray_t whole = Write(next, true);
  // Byte offsets at which items 1..14 end.
  std::vector<size_t> ends;
  size_t at = 0;
  for (const String_t& s :
       {next.GetId(), next.GetContext(), next.GetCN(), next.GetNodename(), next.GetIPAddress()}) {
    at += 4 + 2 * s.GetLength();
    ends.push_back(at);
  }
  for (int i = 0; i < 8; ++i) ends.push_back(at += 4);
  ends.push_back(whole.GetSize());

  for (size_t cut = 0; cut < whole.GetSize(); ++cut) {
    SCOPED_TRACE("first " + std::to_string(cut) + " bytes");
    size_t complete = 0;  // items read whole
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    for (bool withPeer : {false, true}) {
      if (!withPeer && complete >= 13) continue;  // ReadFrom succeeds from here on
      const TypeParam record = Filled<TypeParam>(1, 111);
      const TypeParam old = Filled<TypeParam>(1, 111);
      TrickleStream in(CharArray_t(whole.GetData(), cut));
      if (complete >= 13) {
        ReadInto(record, in, withPeer);  // a short item 14 is ignored
      } else {
        EXPECT_THROW(ReadInto(record, in, withPeer), IOException_t);
      }
      const auto pick = [&](size_t item) -> const TypeParam& {
        return complete >= item ? next : old;
      };
      EXPECT_TRUE(record.GetId() == pick(1).GetId());
      EXPECT_TRUE(record.GetContext() == pick(2).GetContext());
      EXPECT_TRUE(record.GetCN() == pick(3).GetCN());
      EXPECT_TRUE(record.GetNodename() == pick(4).GetNodename());
      EXPECT_TRUE(record.GetIPAddress() == pick(5).GetIPAddress());
      EXPECT_EQ(record.GetPlatform().GetTypeCode(), pick(6).GetPlatform().GetTypeCode());
      EXPECT_EQ(record.GetPlatform().GetVers1(), pick(7).GetPlatform().GetVers1());
      EXPECT_EQ(record.GetPlatform().GetVers2(), pick(8).GetPlatform().GetVers2());
      EXPECT_EQ(record.GetPlatform().GetVers3(), pick(9).GetPlatform().GetVers3());
      EXPECT_EQ(record.GetPlatform().GetCPUTypeCode(), pick(10).GetPlatform().GetCPUTypeCode());
      EXPECT_EQ(record.GetInstallationType(), pick(11).GetInstallationType());
      EXPECT_EQ(record.GetTimeReceived(), pick(12).GetTimeReceived());
      EXPECT_TRUE(record.GetPeerAddress() == old.GetPeerAddress());  // never cut whole
    }
  }
}

TYPED_TEST(CertRequestTwin, OverlongStringCountsThrowWithoutLargeAllocations) {
  const CharArray_t rows[] = {
      Bytes({0x7f, 0xff, 0xff, 0xff, 0, 0x41}),  // INT32_MAX units, one follows
      Bytes({0, 0x10, 0, 0, 0, 0x41, 0, 0x42}),  // 1 Mi units, two follow
      Bytes({0xff, 0xff, 0xff, 0xfe, 0, 0x41}),  // -2
      Bytes({0x80, 0, 0, 0}),                    // INT32_MIN
  };
  for (const CharArray_t& row : rows) {
    for (bool knownLength : {true, false}) {
      SCOPED_TRACE(knownLength ? "known length" : "unknown length");
      const TypeParam record;
      record->SetId("kept");
      CharArrayInputStream_t known(row);
      TrickleStream unknown(row);
#if QX_TRACK_ALLOCATIONS
      g_largestAllocation = 0;
#endif
      EXPECT_THROW(
          record->ReadFrom(knownLength ? static_cast<QxMoxIo::InputStream_t*>(&known) : &unknown),
          IOException_t);
#if QX_TRACK_ALLOCATIONS
      EXPECT_LT(g_largestAllocation.load(), size_t{1} << 20);
#endif
      EXPECT_TRUE(record.GetId() == String_t("kept"));
    }
  }
}

TYPED_TEST(CertRequestTwin, WriteFailurePropagatesAndLeavesTheRecord) {
  const TypeParam record = Filled<TypeParam>(4, 4);
  const size_t size = Write(record, true).GetSize();
  for (size_t limit : {size_t{0}, size_t{10}, size - 8, size - 1}) {
    SCOPED_TRACE("fails after " + std::to_string(limit) + " bytes");
    FailingOutput out(limit);
    EXPECT_THROW(record->WriteToWithPeerAddress(&out), IOException_t);
    ExpectSameItems(record, Filled<TypeParam>(4, 4));
  }
}

TYPED_TEST(CertRequestTwin, NullStreamsAreRefused) {
  const TypeParam record;
  EXPECT_THROW(record->WriteTo(nullptr), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(record->WriteToWithPeerAddress(nullptr), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(record->ReadFrom(nullptr), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(record->ReadFromWithPeerAddress(nullptr), QxMoxMsg::IllegalArgumentError_t);
}

TYPED_TEST(CertRequestTwin, EmptyHandleThrowsIllegalStateNamingCertRequest) {
  TypeParam empty;
  static_cast<QxSecCm::Object&>(empty) = QxSecCm::Object();
  const auto expectThrow = [](auto&& call, const char* what) {
    SCOPED_TRACE(what);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const QxMoxMsg::IllegalStateError_t& e) {
      EXPECT_EQ(e.GetMessageList().First().Format().ToUtf8(), "CertRequest");
    }
  };
  expectThrow([&] { empty.GetId(); }, "GetId");
  expectThrow([&] { empty.GetContext(); }, "GetContext");
  expectThrow([&] { empty.GetCN(); }, "GetCN");
  expectThrow([&] { empty.GetNodename(); }, "GetNodename");
  expectThrow([&] { empty.GetIPAddress(); }, "GetIPAddress");
  expectThrow([&] { empty.GetPeerAddress(); }, "GetPeerAddress");
  expectThrow([&] { empty.GetPlatform(); }, "GetPlatform");
  expectThrow([&] { empty.GetInstallationType(); }, "GetInstallationType");
  expectThrow([&] { empty.GetTimeReceived(); }, "GetTimeReceived");
  expectThrow([&] { empty->SetId("x"); }, "operator->");
}

// Every writer (twin, form) against every reader (twin, form).
TEST(CertRequestStream, EitherTwinReadsTheOther) {
  struct Time {
    int64_t written;
    int32_t low;
  };
  const Time times[] = {{42, 42}, {-1, -1}, {INT32_MIN, INT32_MIN}, {(int64_t{1} << 32) + 5, 5}};
  for (const Time& t : times) {
    const CertRequest plain = Filled<CertRequest>(6, t.low);
    const CertRequest_ex ex = Filled<CertRequest_ex>(6, t.written);
    // Identical content whose time fits gives identical bytes.
    for (bool withPeer : {false, true}) {
      if (t.written == t.low) {
        EXPECT_TRUE(Write(plain, withPeer) == Write(ex, withPeer));
      }
    }
    for (bool writePeer : {false, true}) {
      for (bool readPeer : {false, true}) {
        SCOPED_TRACE("time " + std::to_string(t.written) + (writePeer ? ", written with" : "") +
                     (readPeer ? ", read with" : ""));
        const CharArray_t fromEx = Write(ex, writePeer);
        const CertRequest toPlain;
        const CertRequest_ex toEx;
        CharArrayInputStream_t in1(fromEx);
        CharArrayInputStream_t in2(Write(plain, writePeer));
        ReadInto(toPlain, in1, readPeer);
        ReadInto(toEx, in2, readPeer);
        ExpectSameItems(toPlain, ex);
        ExpectSameItems(toEx, plain);
        EXPECT_EQ(toPlain.GetTimeReceived(), t.low);
        EXPECT_EQ(toEx.GetTimeReceived(), int64_t{t.low});
        const bool peerRead = writePeer && readPeer;
        EXPECT_TRUE(toPlain.GetPeerAddress() == (peerRead ? ex.GetPeerAddress() : String_t()));
        EXPECT_TRUE(toEx.GetPeerAddress() == (peerRead ? plain.GetPeerAddress() : String_t()));
      }
    }
  }
}
