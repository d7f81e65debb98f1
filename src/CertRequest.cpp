// The certificate request record, written once for both twins (32-bit and 64-bit
// reception time) and instantiated for each.
#include "qxseccm/CertRequest.h"

#include <cstdint>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Message.h"
#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

// WireTime is the one place where a reception time is narrowed: the stream carries the low 32
// bits of the time (two's complement), and readers sign-extend them.
inline int32_t WireTime(int64_t time) { return static_cast<int32_t>(time); }

// CheckedStream refuses a null stream before it could be dereferenced.
template <class StreamT>
StreamT& CheckedStream(StreamT* stream, const char* operation) {
  if (stream == nullptr) {
    QXSECCM_THROW(QxMoxMsg::IllegalArgumentError_t, ExceptionTracer::Server,
                  QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("CertRequestImpl::") + operation +
                                         ": null stream"));
  }
  return *stream;
}

// ---- the body --------------------------------------------------------------------------------

template <class Traits>
void CertRequestImplT<Traits>::WriteItems(QxMoxIo::DataOutputStream_t& out) const {
  out.WriteUTF16String(m_id);
  out.WriteUTF16String(m_context);
  out.WriteUTF16String(m_cn);
  out.WriteUTF16String(m_nodename);
  out.WriteUTF16String(m_ipAddress);
  out.WriteInt32(m_platform.GetTypeCode());
  out.WriteInt32(m_platform.GetVers1());
  out.WriteInt32(m_platform.GetVers2());
  out.WriteInt32(m_platform.GetVers3());
  out.WriteInt32(m_platform.GetCPUTypeCode());
  out.WriteInt32(m_installationType);
  out.WriteInt32(WireTime(m_timeReceived.m_time));
  out.WriteInt32(m_timeReceived.m_extra);
}

template <class Traits>
void CertRequestImplT<Traits>::ReadItems(QxMoxIo::DataInputStream_t& in) {
  m_id = in.ReadUTF16String();
  m_context = in.ReadUTF16String();
  m_cn = in.ReadUTF16String();
  m_nodename = in.ReadUTF16String();
  m_ipAddress = in.ReadUTF16String();
  // In place: every handle sharing the platform body sees the values read.
  PlatformImpl& platform = *m_platform.operator->();
  platform.SetTypeCode(in.ReadInt32());
  platform.SetVers1(in.ReadInt32());
  platform.SetVers2(in.ReadInt32());
  platform.SetVers3(in.ReadInt32());
  platform.SetCPUTypeCode(in.ReadInt32());
  m_installationType = static_cast<InstallationType>(in.ReadInt32());
  m_timeReceived.m_time = static_cast<Time>(in.ReadInt32());
  m_timeReceived.m_extra = in.ReadInt32();
}

template <class Traits>
CertRequestImplT<Traits>::CertRequestImplT() = default;

template <class Traits>
CertRequestImplT<Traits>::~CertRequestImplT() = default;

template <class Traits>
void CertRequestImplT<Traits>::DestroyThis() {
  delete this;
}

template <class Traits>
void CertRequestImplT<Traits>::SetId(const QxMoxStr::String_t& id) {
  m_id = id;
}

template <class Traits>
void CertRequestImplT<Traits>::SetContext(const QxMoxStr::String_t& context) {
  m_context = context;
}

template <class Traits>
void CertRequestImplT<Traits>::SetCN(const QxMoxStr::String_t& cn) {
  m_cn = cn;
}

template <class Traits>
void CertRequestImplT<Traits>::SetNodename(const QxMoxStr::String_t& nodename) {
  m_nodename = nodename;
}

template <class Traits>
void CertRequestImplT<Traits>::SetIPAddress(const QxMoxStr::String_t& ipAddress) {
  m_ipAddress = ipAddress;
}

template <class Traits>
void CertRequestImplT<Traits>::SetPeerAddress(const QxMoxStr::String_t& peerAddress) {
  m_peerAddress = peerAddress;
}

template <class Traits>
void CertRequestImplT<Traits>::SetPlatform(const Platform& platform) {
  if (platform.IsNull()) {
    QXSECCM_THROW(QxMoxMsg::IllegalArgumentError_t, ExceptionTracer::Server,
                  QxMoxMsg::CreateWarn_t("CertRequestImpl::SetPlatform: empty Platform"));
  }
  m_platform = platform;
}

template <class Traits>
void CertRequestImplT<Traits>::SetInstallationType(const InstallationType& installationType) {
  m_installationType = installationType;
}

template <class Traits>
void CertRequestImplT<Traits>::SetTimeReceived(Time time) {
  m_timeReceived.m_time = time;
  m_timeReceived.m_extra = 0;
}

template <class Traits>
void CertRequestImplT<Traits>::SetDateTimeReceived(const DateTime& timeReceived) {
  m_timeReceived = timeReceived;
}

template <class Traits>
void CertRequestImplT<Traits>::WriteTo(QxMoxIo::OutputStream_t* stream) const {
  QxMoxIo::DataOutputStream_t out(CheckedStream(stream, "WriteTo"));
  WriteItems(out);
}

template <class Traits>
void CertRequestImplT<Traits>::WriteToWithPeerAddress(QxMoxIo::OutputStream_t* stream) const {
  QxMoxIo::DataOutputStream_t out(CheckedStream(stream, "WriteToWithPeerAddress"));
  WriteItems(out);
  out.WriteUTF16String(m_peerAddress);
}

template <class Traits>
void CertRequestImplT<Traits>::ReadFrom(QxMoxIo::InputStream_t* stream) {
  QxMoxIo::DataInputStream_t in(CheckedStream(stream, "ReadFrom"));
  ReadItems(in);
}

template <class Traits>
void CertRequestImplT<Traits>::ReadFromWithPeerAddress(QxMoxIo::InputStream_t* stream) {
  QxMoxIo::DataInputStream_t in(CheckedStream(stream, "ReadFromWithPeerAddress"));
  ReadItems(in);
  try {
    m_peerAddress = in.ReadUTF16String();
  } catch (const QxMoxIo::IOException_t&) {
    // A stream written without the peer address ends here; the address keeps its value.
  }
}

// ---- the handle ------------------------------------------------------------------------------

template <class Traits>
CertRequestT<Traits>::~CertRequestT() = default;

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetId() const {
  return GetBody().GetId();
}

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetContext() const {
  return GetBody().GetContext();
}

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetCN() const {
  return GetBody().GetCN();
}

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetNodename() const {
  return GetBody().GetNodename();
}

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetIPAddress() const {
  return GetBody().GetIPAddress();
}

template <class Traits>
QxMoxStr::String_t CertRequestT<Traits>::GetPeerAddress() const {
  return GetBody().GetPeerAddress();
}

template <class Traits>
Platform CertRequestT<Traits>::GetPlatform() const {
  return GetBody().GetPlatform();
}

template <class Traits>
typename CertRequestT<Traits>::InstallationType CertRequestT<Traits>::GetInstallationType() const {
  return GetBody().GetInstallationType();
}

template <class Traits>
typename Traits::Time CertRequestT<Traits>::GetTimeReceived() const {
  return GetBody().GetDateTimeReceived().m_time;
}

// ---- the twins ------------------------------------------------------------------------------

template class CertRequestT<CertRequestTraits>;
template class CertRequestImplT<CertRequestTraits>;
template class CertRequestT<CertRequestTraits_ex>;
template class CertRequestImplT<CertRequestTraits_ex>;

}  // namespace QxSecCm
