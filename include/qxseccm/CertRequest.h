// CertRequest and CertRequest_ex (handles) with CertRequestImpl and CertRequestImpl_ex (bodies):
// the certificate request record and its binary stream format.
#pragma once

#include <cstdint>

#include "qxmox/Io.h"
#include "qxmox/RefCounted.h"
#include "qxmox/String.h"
#include "qxseccm/Object.h"
#include "qxseccm/Platform.h"
#include "qxzeb/DateTime.h"

namespace QxSecCm {

class CertRequest;
class CertRequest_ex;
class CertRequestImpl;
class CertRequestImpl_ex;

// CertRequestTraits and CertRequestTraits_ex are what differs between the two twins of the
// record: the width of the reception time, the messaging library's date-time value that holds
// it, and the named handle and body classes. Both twins report "CertRequest" as the class name
// of an empty handle.
struct CertRequestTraits {
  using Handle = CertRequest;
  using Body = CertRequestImpl;
  using Time = int32_t;
  using DateTime = QxZebSoap::XSDDateTime;
  static constexpr const char* kClassName = "CertRequest";
};

struct CertRequestTraits_ex {
  using Handle = CertRequest_ex;
  using Body = CertRequestImpl_ex;
  using Time = int64_t;
  using DateTime = QxZebSoap::XSDDateTime_ex;
  static constexpr const char* kClassName = "CertRequest";
};

// CertRequestT is the handle of a certificate request record; CertRequest and CertRequest_ex are
// its two instantiations. A new handle creates a new record: empty id, context, common name,
// node name, IP address and peer address, a platform body of its own with all values 0,
// installation type IT_NONE and reception time 0 (both date-time members 0). Copies share the
// record; equality is record identity, not content. The handle has no setters: a record is
// filled through its body (operator->). The record has no lock; one thread fills it, then any
// may read it.
//
// Every accessor of a handle without body throws QxMoxMsg::IllegalStateError_t with the text
// "CertRequest" (for both twins), traced on the server side.
template <class Traits>
class CertRequestT : public BodyHandle<Traits, ExceptionTracer::Server> {
 public:
  // InstallationType says how the request came about. Values are stored and transported as
  // plain 32-bit numbers; nothing checks the range.
  enum InstallationType : int32_t {
    IT_AUTOMATIC = 0,         // sent by the client on its own at start-up
    IT_MANUAL = 1,            // started by a caller without an installation key
    IT_INSTALLATION_KEY = 2,  // started by a caller with an installation key
    IT_NONE = 3,              // not set: the value of every new record
  };
  using Time = typename Traits::Time;
  using Body = typename Traits::Body;

  CertRequestT(const CertRequestT&) = default;
  CertRequestT& operator=(const CertRequestT&) = default;
  // ~CertRequestT releases this handle's share of the record.
  ~CertRequestT() override;

  // GetId, GetContext, GetCN, GetNodename, GetIPAddress and GetPeerAddress return copies of the
  // record's strings.
  QxMoxStr::String_t GetId() const;
  QxMoxStr::String_t GetContext() const;
  QxMoxStr::String_t GetCN() const;
  QxMoxStr::String_t GetNodename() const;
  QxMoxStr::String_t GetIPAddress() const;
  QxMoxStr::String_t GetPeerAddress() const;
  // GetPlatform returns a handle sharing the record's platform body: later changes of that body
  // (through PlatformImpl, or by a ReadFrom into this record) show through it. Never empty.
  Platform GetPlatform() const;
  InstallationType GetInstallationType() const;
  // GetTimeReceived returns the time member of the reception date-time (seconds).
  Time GetTimeReceived() const;

  // operator-> (from BodyHandle) returns the record's body, whose setters and stream operations
  // fill and write it. It throws IllegalStateError_t ("CertRequest") on a handle without body
  // rather than handing out a null pointer.

 protected:
  // CertRequestT() creates a new record and holds the only reference to it; the named twins
  // CertRequest and CertRequest_ex are the handles to create.
  CertRequestT() = default;

 private:
  using BodyHandle<Traits, ExceptionTracer::Server>::GetBody;
};

// CertRequestImplT is the body of a certificate request record; CertRequestImpl and
// CertRequestImpl_ex are its two instantiations. The setters check nothing and store any value.
//
// Stream format (both twins, on the runtime's data streams: Int32 big-endian, strings as an
// Int32 count of UTF-16 units, -1 for the null string, then the units big-endian):
//   1-5   id, context, common name, node name, IP address   (strings)
//   6-10  platform type, vers1, vers2, vers3, CPU type       (Int32)
//   11    installation type                                  (Int32)
//   12    reception time: its low 32 bits                    (Int32)
//   13    second member of the reception date-time           (Int32)
//   14    peer address, only in the WithPeerAddress form     (string)
// The peer address comes last so that a stream with it begins with exactly the stream without
// it. The _ex twin writes the low 32 bits of its 64-bit time and sign-extends on reading, so
// both twins write identical bytes for identical content whose time fits 32 bits, and each
// reads the other's streams.
template <class Traits>
class CertRequestImplT : public QxMoxRef::RefCounted_t {
 public:
  using InstallationType = typename CertRequestT<Traits>::InstallationType;
  using Time = typename Traits::Time;
  using DateTime = typename Traits::DateTime;

  CertRequestImplT();
  ~CertRequestImplT() override;
  // DestroyThis deletes the body; the last handle calls it.
  void DestroyThis() override;

  void SetId(const QxMoxStr::String_t& id);
  void SetContext(const QxMoxStr::String_t& context);
  void SetCN(const QxMoxStr::String_t& cn);
  void SetNodename(const QxMoxStr::String_t& nodename);
  void SetIPAddress(const QxMoxStr::String_t& ipAddress);
  void SetPeerAddress(const QxMoxStr::String_t& peerAddress);
  // SetPlatform makes the record share platform's body (no copy of the values). The record's
  // platform is never empty: a Platform without body is refused with
  // QxMoxMsg::IllegalArgumentError_t (traced on the server side) and the record keeps its
  // platform.
  void SetPlatform(const Platform& platform);
  void SetInstallationType(const InstallationType& installationType);
  // SetTimeReceived sets the time member of the reception date-time and its second member to 0.
  void SetTimeReceived(Time time);
  // SetDateTimeReceived sets both members of the reception date-time as given (the SOAP form
  // carries the whole value).
  void SetDateTimeReceived(const DateTime& timeReceived);

  const QxMoxStr::String_t& GetId() const { return m_id; }
  const QxMoxStr::String_t& GetContext() const { return m_context; }
  const QxMoxStr::String_t& GetCN() const { return m_cn; }
  const QxMoxStr::String_t& GetNodename() const { return m_nodename; }
  const QxMoxStr::String_t& GetIPAddress() const { return m_ipAddress; }
  const QxMoxStr::String_t& GetPeerAddress() const { return m_peerAddress; }
  const Platform& GetPlatform() const { return m_platform; }
  InstallationType GetInstallationType() const { return m_installationType; }
  const DateTime& GetDateTimeReceived() const { return m_timeReceived; }

  // WriteTo writes items 1 to 13 to stream; WriteToWithPeerAddress also writes item 14.
  // Neither flushes nor closes stream. Exceptions of the stream propagate (the record is
  // unchanged); a null stream is refused with IllegalArgumentError_t.
  void WriteTo(QxMoxIo::OutputStream_t* stream) const;
  void WriteToWithPeerAddress(QxMoxIo::OutputStream_t* stream) const;

  // ReadFrom reads items 1 to 13 from stream into this record, assigning each value as soon as
  // it is read. The platform values go into the record's existing platform body, so every
  // handle sharing it sees them; the peer address is not touched. Stream exceptions propagate,
  // QxMoxIo::IOException_t in particular at the end of the data or for a string count larger
  // than the data (nothing is allocated for it): the items before the failing one then hold
  // their new values, the later ones their old ones. No value is validated. A null stream is
  // refused with IllegalArgumentError_t.
  void ReadFrom(QxMoxIo::InputStream_t* stream);
  // ReadFromWithPeerAddress reads as ReadFrom, then item 14 into the peer address. An
  // IOException_t while reading item 14 (a stream written by WriteTo ends after item 13) is
  // ignored: the call returns normally and the peer address keeps its value.
  void ReadFromWithPeerAddress(QxMoxIo::InputStream_t* stream);

 private:
  void WriteItems(QxMoxIo::DataOutputStream_t& out) const;
  void ReadItems(QxMoxIo::DataInputStream_t& in);

  QxMoxStr::String_t m_id;
  QxMoxStr::String_t m_context;
  QxMoxStr::String_t m_cn;
  QxMoxStr::String_t m_nodename;
  QxMoxStr::String_t m_ipAddress;
  QxMoxStr::String_t m_peerAddress;
  Platform m_platform;
  InstallationType m_installationType = CertRequestT<Traits>::IT_NONE;
  DateTime m_timeReceived{};
};

extern template class CertRequestT<CertRequestTraits>;
extern template class CertRequestT<CertRequestTraits_ex>;
extern template class CertRequestImplT<CertRequestTraits>;
extern template class CertRequestImplT<CertRequestTraits_ex>;

// CertRequest is the record with a 32-bit reception time.
class CertRequest : public CertRequestT<CertRequestTraits> {};

// CertRequest_ex is the record with a 64-bit reception time.
class CertRequest_ex : public CertRequestT<CertRequestTraits_ex> {};

// CertRequestImpl is the body of a CertRequest.
class CertRequestImpl : public CertRequestImplT<CertRequestTraits> {};

// CertRequestImpl_ex is the body of a CertRequest_ex.
class CertRequestImpl_ex : public CertRequestImplT<CertRequestTraits_ex> {};

}  // namespace QxSecCm
