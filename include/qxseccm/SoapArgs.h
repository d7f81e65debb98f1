// Structured SOAP arguments: the certificate request records written as nested XML elements and
// rebuilt from the messaging library's parser events.
//
// Every argument has two constructors: from a value (the argument keeps a handle sharing the
// value's body, or a copy of the list, and writes it) and from a pointer (writing reads and
// parsing fills the caller's object, which must outlive the argument and keep its body while the
// argument lives). Parsing follows one state machine: state 0 outside the argument's element,
// 1 between its children, 2 and up inside a child.
#pragma once

#include <cstdint>
#include <list>
#include <optional>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxmox/Xml.h"
#include "qxseccm/CertEvent.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertRequestCollection.h"
#include "qxseccm/Platform.h"
#include "qxseccore/StringCollection.h"
#include "qxzeb/Soap.h"

namespace QxSecCm {

// CharArrayList is an ordered list of byte arrays (append at the back, iterate from the front).
using CharArrayList = std::list<QxMoxArray::CharArray_t>;

// SOAPArgStruct is the base of the structured arguments: an argument whose value is written as
// child elements. It adds helpers for the shared parse state machine.
class SOAPArgStruct : public QxZebSoap::SOAPArg {
 public:
  explicit SOAPArgStruct(const QxMoxStr::String_t& name);
  ~SOAPArgStruct() override;

  // ResetParse also puts the parse machine back outside the argument's element.
  void ResetParse() override;

 protected:
  // EnterSelf starts the argument's own element (state 0 to 1).
  QxZebSoap::SOAPElement* EnterSelf(const QxMoxStr::String_t& prefix,
                                    const QxMoxStr::String_t& name,
                                    const QxMoxStr::String_t& namespaceUri);
  // EnterChild restarts the text collection for a child and sets its state.
  void EnterChild(int32_t state);
  // EnterItem enters an item of a list or collection (state 2). An argument takes at most
  // kMaxItems items per element and throws QxMoxMsg::IllegalArgumentError_t for the next: a
  // 16 MiB document of empty items would otherwise become millions of records.
  void EnterItem();
  // StartListElement is the start step of the list arguments: outside, it enters the own
  // element when the name matches; inside, a "li" child starts an item (state 2); anything else
  // is not this argument's (null).
  QxZebSoap::SOAPElement* StartListElement(const QxMoxStr::String_t& prefix,
                                           const QxMoxStr::String_t& name,
                                           const QxMoxStr::String_t& namespaceUri);
  // LeaveSelf ends the argument's own element (state back to 0).
  void LeaveSelf(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                 const QxMoxStr::String_t& namespaceUri);

  static constexpr int32_t kMaxItems = 100000;

  int32_t m_state = 0;
  int32_t m_items = 0;  // items entered since the own element started
  // m_childHint is where the search for the next child's name starts in the argument's list of
  // children.
  size_t m_childHint = 0;
};

// ---- platform ---------------------------------------------------------------------------------

// SOAPArgPlatform writes "os", "maj", "min", "sub", "cpu" as decimal text; parsing changes the
// target platform's body in place.
class SOAPArgPlatform : public SOAPArgStruct {
 public:
  SOAPArgPlatform(const QxMoxStr::String_t& name, const Platform& value);
  SOAPArgPlatform(const QxMoxStr::String_t& name, Platform* target);
  ~SOAPArgPlatform() override;

  // Rebind makes the argument write and fill value's body from now on, as if built from value.
  void Rebind(const Platform& value);

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;

 private:
  Platform m_value;
  Platform* m_target;
};

// ---- certificate request ----------------------------------------------------------------------

// SOAPArgCertRequestT is the request argument of both twins: "id", "context", "cn", "nodename",
// "ipaddress", the nested "platform", "itype", the nested "timeReceived", "peeraddress". The
// nested arguments are bound to the platform and reception time of the body the target holds
// when the argument is built.
template <class Request, class DateTimeArg>
class SOAPArgCertRequestT : public SOAPArgStruct {
 public:
  SOAPArgCertRequestT(const QxMoxStr::String_t& name, const Request& value);
  SOAPArgCertRequestT(const QxMoxStr::String_t& name, Request* target);
  ~SOAPArgCertRequestT() override;

  // Rebind makes the argument (and its nested arguments) write and fill value's body from now
  // on, as if built from value. Call it outside the argument's element only.
  void Rebind(const Request& value);

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;
  void ResetParse() override;

 private:
  Request m_value;
  Request* m_target;
  SOAPArgPlatform m_platform;
  DateTimeArg m_timeReceived;
};

extern template class SOAPArgCertRequestT<CertRequest, QxZebSoap::SOAPArgDateTime>;
extern template class SOAPArgCertRequestT<CertRequest_ex, QxZebSoap::SOAPArgDateTime_ex>;

class SOAPArgCertRequest : public SOAPArgCertRequestT<CertRequest, QxZebSoap::SOAPArgDateTime> {
 public:
  using SOAPArgCertRequestT::SOAPArgCertRequestT;
  ~SOAPArgCertRequest() override = default;
};

class SOAPArgCertRequest_ex
    : public SOAPArgCertRequestT<CertRequest_ex, QxZebSoap::SOAPArgDateTime_ex> {
 public:
  using SOAPArgCertRequestT::SOAPArgCertRequestT;
  ~SOAPArgCertRequest_ex() override = default;
};

// ---- certificate event ------------------------------------------------------------------------

struct SOAPArgCertEventTraits {
  using Event = CertEvent;
  using Request = CertRequest;
  using RequestArg = SOAPArgCertRequest;
  // RequestName is the nested request element's name, chosen when the argument is built.
  static QxMoxStr::String_t RequestName();
};

struct SOAPArgCertEventTraits_ex {
  using Event = CertEvent_ex;
  using Request = CertRequest_ex;
  using RequestArg = SOAPArgCertRequest_ex;
  // "certrequest" once g_UseCertReq is set, else "certrequest_ex".
  static QxMoxStr::String_t RequestName();
};

// SOAPArgCertEventT writes "type" (decimal), "info" and the nested request, which shares the body
// of the target event's request.
template <class Traits>
class SOAPArgCertEventT : public SOAPArgStruct {
 public:
  using Event = typename Traits::Event;
  using Request = typename Traits::Request;

  SOAPArgCertEventT(const QxMoxStr::String_t& name, const Event& value);
  SOAPArgCertEventT(const QxMoxStr::String_t& name, Event* target);
  ~SOAPArgCertEventT() override;

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;
  void ResetParse() override;

 private:
  Event m_value;
  Event* m_target;
  Request m_request;
  typename Traits::RequestArg m_requestArg;
};

extern template class SOAPArgCertEventT<SOAPArgCertEventTraits>;
extern template class SOAPArgCertEventT<SOAPArgCertEventTraits_ex>;

class SOAPArgCertEvent : public SOAPArgCertEventT<SOAPArgCertEventTraits> {
 public:
  using SOAPArgCertEventT::SOAPArgCertEventT;
  ~SOAPArgCertEvent() override = default;
};

class SOAPArgCertEvent_ex : public SOAPArgCertEventT<SOAPArgCertEventTraits_ex> {
 public:
  using SOAPArgCertEventT::SOAPArgCertEventT;
  ~SOAPArgCertEvent_ex() override = default;
};

// ---- request collection -----------------------------------------------------------------------

struct SOAPArgCertRequestCollectionTraits {
  using Collection = CertRequestCollection;
  using Request = CertRequest;
  using RequestArg = SOAPArgCertRequest;
  static constexpr const char* kConstructor = "SOAPArgCertRequestCollection::Constructor()";
  static constexpr const char* kDestructor = "SOAPArgCertRequestCollection::Destructor()";
  static constexpr const char* kWrite = "SOAPArgCertRequestCollection::WriteContentTo()";
  static constexpr const char* kStart = "SOAPArgCertRequestCollection::StartElement()";
  static constexpr const char* kEnd = "SOAPArgCertRequestCollection::EndElement()";
};

struct SOAPArgCertRequestCollectionTraits_ex {
  using Collection = CertRequestCollection_ex;
  using Request = CertRequest_ex;
  using RequestArg = SOAPArgCertRequest_ex;
  static constexpr const char* kConstructor = "SOAPArgCertRequestCollection_ex::Constructor()";
  static constexpr const char* kDestructor = "SOAPArgCertRequestCollection_ex::Destructor()";
  static constexpr const char* kWrite = "SOAPArgCertRequestCollection_ex::WriteContentTo()";
  static constexpr const char* kStart = "SOAPArgCertRequestCollection_ex::StartElement()";
  static constexpr const char* kEnd = "SOAPArgCertRequestCollection_ex::EndElement()";
};

// SOAPArgCertRequestCollectionT writes one "cr" element per request in the collection's order
// (leaving the cursor at the end); parsing adds a new request per "cr", in document order. One
// item argument, built at the first "cr" of each collection element, is rebound to each new
// request.
template <class Traits>
class SOAPArgCertRequestCollectionT : public SOAPArgStruct {
 public:
  using Collection = typename Traits::Collection;
  using Request = typename Traits::Request;
  using RequestArg = typename Traits::RequestArg;

  SOAPArgCertRequestCollectionT(const QxMoxStr::String_t& name, const Collection& value);
  SOAPArgCertRequestCollectionT(const QxMoxStr::String_t& name, Collection* target);
  ~SOAPArgCertRequestCollectionT() override;

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;
  void ResetParse() override;

 private:
  Collection m_value;
  Collection* m_target;
  std::optional<RequestArg> m_item;  // the argument of the items being parsed
};

extern template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits>;
extern template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits_ex>;

class SOAPArgCertRequestCollection
    : public SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits> {
 public:
  using SOAPArgCertRequestCollectionT::SOAPArgCertRequestCollectionT;
  ~SOAPArgCertRequestCollection() override = default;
};

class SOAPArgCertRequestCollection_ex
    : public SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits_ex> {
 public:
  using SOAPArgCertRequestCollectionT::SOAPArgCertRequestCollectionT;
  ~SOAPArgCertRequestCollection_ex() override = default;
};

// ---- lists ------------------------------------------------------------------------------------

// SOAPArgStringCollection writes one "li" per string (leaving the cursor at the end); parsing
// appends each "li" text.
class SOAPArgStringCollection : public SOAPArgStruct {
 public:
  SOAPArgStringCollection(const QxMoxStr::String_t& name, const QxSecCore::StringCollection& value);
  SOAPArgStringCollection(const QxMoxStr::String_t& name, QxSecCore::StringCollection* target);
  ~SOAPArgStringCollection() override;

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;

 private:
  QxSecCore::StringCollection m_value;
  QxSecCore::StringCollection* m_target;
};

// SOAPArgCharArrayList writes one "li" per byte array, its bytes read as 8-bit (ISO-8859-1) text
// up to the first NUL; parsing encodes each "li" text back to ISO-8859-1 bytes. Writing throws
// QxMoxMsg::IllegalArgumentError_t for control bytes XML cannot carry (all below 0x20 but tab,
// LF and CR): the list carries text such as PEM, not binary data.
class SOAPArgCharArrayList : public SOAPArgStruct {
 public:
  SOAPArgCharArrayList(const QxMoxStr::String_t& name, const CharArrayList& value);
  SOAPArgCharArrayList(const QxMoxStr::String_t& name, CharArrayList* target);
  ~SOAPArgCharArrayList() override;

  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  QxZebSoap::SOAPElement* StartElement(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& name,
                                       const QxMoxStr::String_t& namespaceUri) override;
  void EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                  const QxMoxStr::String_t& namespaceUri) override;

 private:
  CharArrayList m_value;
  CharArrayList* m_target;
};

}  // namespace QxSecCm
