// CertEvent and CertEvent_ex (handles) with their bodies: what happened to a certificate request
// at the certificate server, as told to observing tools.
#pragma once

#include <cstdint>

#include "qxmox/RefCounted.h"
#include "qxmox/String.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/Object.h"

namespace QxSecCm {

class CertEventImpl;
class CertEventImpl_ex;

// CertEventTraits and CertEventTraits_ex are what differs between the two twins of the event: the
// record type it carries, the named body class and the class name an empty handle reports.
struct CertEventTraits {
  using Request = CertRequest;
  using Body = CertEventImpl;
  static constexpr const char* kClassName = "CertEvent";
};

struct CertEventTraits_ex {
  using Request = CertRequest_ex;
  using Body = CertEventImpl_ex;
  static constexpr const char* kClassName = "CertEvent_ex";
};

// CertEventT is the handle of a certificate event; CertEvent and CertEvent_ex are its two
// instantiations. An event carries a type code, a text and the request concerned. A new event
// has type 0, an empty text and a new request record of its own. Copies share the event. No
// lock: one thread fills an event, then any may read it.
//
// Every accessor of a handle without body throws QxMoxMsg::IllegalStateError_t with the text
// "CertEvent" (resp. "CertEvent_ex"), traced on the server side.
template <class Traits>
class CertEventT : public BodyHandle<Traits, ExceptionTracer::Server> {
 public:
  // Type is what happened. The certificate server that creates events defines the values; this
  // library carries any 32-bit value unchanged.
  enum Type : int32_t {};
  using Request = typename Traits::Request;
  using Body = typename Traits::Body;

  CertEventT(const CertEventT&) = default;
  CertEventT& operator=(const CertEventT&) = default;
  // ~CertEventT releases this handle's share of the event.
  ~CertEventT() override;

  Type GetType() const;
  // GetInfo returns a copy of the event's text.
  QxMoxStr::String_t GetInfo() const;
  // GetCertRequest returns a handle sharing the event's request record: changes made to the
  // record through it are seen by the event, and two calls return equal handles.
  Request GetCertRequest() const;

  // operator-> (from BodyHandle) returns the body, whose setters fill the event; it throws
  // IllegalStateError_t on a handle without body.

 protected:
  // CertEventT() creates a new event; the named twins are the handles to create.
  CertEventT() = default;

 private:
  using BodyHandle<Traits, ExceptionTracer::Server>::GetBody;
};

// CertEventImplT is the body of a certificate event; CertEventImpl and CertEventImpl_ex are its
// two instantiations. The setters check nothing.
template <class Traits>
class CertEventImplT : public QxMoxRef::RefCounted_t {
 public:
  using Type = typename CertEventT<Traits>::Type;
  using Request = typename Traits::Request;

  CertEventImplT();
  ~CertEventImplT() override;
  // DestroyThis deletes the body; the last handle calls it.
  void DestroyThis() override;

  void SetType(Type type);
  void SetInfo(QxMoxStr::String_t info);
  // SetCertRequest makes the event share request's record (no copy of the content). The handle
  // is taken as it is: an event given an empty handle hands that empty handle back, whose
  // accessors then throw IllegalStateError_t.
  void SetCertRequest(const Request& request);

  Type GetType() const { return m_type; }
  const QxMoxStr::String_t& GetInfo() const { return m_info; }
  const Request& GetCertRequest() const { return m_request; }

 private:
  Type m_type{};
  QxMoxStr::String_t m_info;
  Request m_request;
};

extern template class CertEventT<CertEventTraits>;
extern template class CertEventT<CertEventTraits_ex>;
extern template class CertEventImplT<CertEventTraits>;
extern template class CertEventImplT<CertEventTraits_ex>;

// CertEvent is an event about a CertRequest.
class CertEvent : public CertEventT<CertEventTraits> {};

// CertEvent_ex is an event about a CertRequest_ex.
class CertEvent_ex : public CertEventT<CertEventTraits_ex> {};

// CertEventImpl is the body of a CertEvent.
class CertEventImpl : public CertEventImplT<CertEventTraits> {};

// CertEventImpl_ex is the body of a CertEvent_ex.
class CertEventImpl_ex : public CertEventImplT<CertEventTraits_ex> {};

}  // namespace QxSecCm
