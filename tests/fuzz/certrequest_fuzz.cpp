// Feeds arbitrary bytes to the record readers of both twins, with and without the peer address.
// Besides crashes, leaks and undefined behaviour it checks one property: a record that was read
// writes back exactly the bytes it consumed (no value is validated or changed on the way).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"

namespace {

using QxMoxArray::CharArray_t;

// Require aborts with a message when the property does not hold.
void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "certrequest_fuzz: %s\n", what);
    std::abort();
  }
}

bool IsPrefix(const CharArray_t& prefix, const uint8_t* data, size_t size) {
  return prefix.GetSize() <= size && std::memcmp(prefix.GetData(), data, prefix.GetSize()) == 0;
}

template <class R>
CharArray_t Written(const R& record, bool withPeer) {
  QxMoxIo::CharArrayOutputStream_t out;
  if (withPeer) {
    record->WriteToWithPeerAddress(&out);
  } else {
    record->WriteTo(&out);
  }
  return out.ToCharArray();
}

template <class R>
void ReadOne(const uint8_t* data, size_t size, bool withPeer) {
  const R record;
  const QxMoxStr::String_t sentinel(u"\xD800 unread");  // no stream could leave this by chance
  record->SetPeerAddress(sentinel);
  QxMoxIo::CharArrayInputStream_t in(CharArray_t(data, size));
  try {
    if (withPeer) {
      record->ReadFromWithPeerAddress(&in);
    } else {
      record->ReadFrom(&in);
    }
  } catch (const QxMoxMsg::Exception_t&) {
    return;  // refused input: fine, as long as nothing else happened
  }
  const auto consumed = static_cast<size_t>(static_cast<long long>(size) - in.Remaining());
  const CharArray_t items = Written(record, false);
  Require(IsPrefix(items, data, size), "items 1-13 do not write back as read");
  if (!withPeer) {
    Require(consumed == items.GetSize(), "ReadFrom consumed more than items 1-13");
    Require(record.GetPeerAddress() == sentinel, "ReadFrom touched the peer address");
    return;
  }
  const CharArray_t all = Written(record, true);
  if (consumed == all.GetSize() && IsPrefix(all, data, size)) return;  // item 14 read
  Require(record.GetPeerAddress() == sentinel, "a failed peer address was not ignored");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool withPeer : {false, true}) {
    ReadOne<QxSecCm::CertRequest>(data, size, withPeer);
    ReadOne<QxSecCm::CertRequest_ex>(data, size, withPeer);
  }
  return 0;
}
