// SOAP elements and arguments: the base classes, the simple argument kinds and the envelope.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/Io.h"
#include "qxmox/Net.h"
#include "qxmox/String.h"
#include "qxmox/Xml.h"
#include "qxzeb/DateTime.h"

namespace QxZebSoap {

using QxMoxStr::String_t;

// Writer_t receives text (a character sink); SOAPArg::WriteTo(Writer_t&, bool) writes to it.
class Writer_t {
 public:
  virtual ~Writer_t() = default;
  virtual void Write(const String_t& text) = 0;
};

// SOAPElement receives the parser's events for one element. The parser calls StartElement on
// the element that currently receives events for each opening tag; the element returned
// receives the events inside that tag (null: the tag and everything inside it are skipped). The
// closing tag goes to EndElement of the element that received the events inside it.
class SOAPElement {
 public:
  SOAPElement() = default;
  explicit SOAPElement(const String_t& name) : m_name(name) {}
  SOAPElement(const SOAPElement&) = delete;
  SOAPElement& operator=(const SOAPElement&) = delete;
  virtual ~SOAPElement() = default;

  // StartElement (base) takes the element's prefix, name and namespace, restarts the text
  // collection and returns this element.
  virtual SOAPElement* StartElement(const String_t& prefix, const String_t& name,
                                    const String_t& namespaceUri);
  // Characters appends text to what was collected since the last StartElement.
  virtual void Characters(const char16_t* text, size_t length);
  // EndElement (base) ends the element; the collected text stays readable until the next start.
  virtual void EndElement(const String_t& prefix, const String_t& name,
                          const String_t& namespaceUri);

  // ResetParse returns the element to where it stands before any parse. The reader calls it on
  // an argument just before the argument's own element starts, so a read that failed half-way
  // through the argument leaves nothing that changes how the next read goes.
  virtual void ResetParse() { m_text.clear(); }
  const String_t& GetName() const { return m_name; }
  const String_t& GetNamespaceUri() const { return m_namespaceUri; }
  const String_t& GetPrefix() const { return m_prefix; }

 protected:
  // CollectedText returns the text collected since the last StartElement.
  String_t CollectedText() const { return String_t(std::u16string(m_text)); }
  // RestartText drops the collected text, as StartElement does, keeping the element's names
  // (for an argument that collects its children's text itself).
  void RestartText() { m_text.clear(); }

 private:
  String_t m_name;
  String_t m_prefix;
  String_t m_namespaceUri;
  std::u16string m_text;
};

// SOAPArg is a named argument element taking part in writing and parsing. Its own tag is
// written by WriteOpenTagTo / WriteCloseTagTo, its value by WriteContentTo. As a parse target
// it accepts its own element (returning itself) and refuses children (null).
class SOAPArg : public SOAPElement {
 public:
  // SOAPArg(name) takes the element name (an XML name; checked when written).
  explicit SOAPArg(const String_t& name) : SOAPElement(name) {}

  // AddNamespace declares xmlns:prefix="uri" on the argument's tag.
  virtual void AddNamespace(const String_t& prefix, const String_t& uri);
  // AddAttribute adds an attribute to the argument's tag.
  virtual void AddAttribute(const String_t& name, const String_t& value);
  // GetCharacters returns the text collected since the element's last start.
  virtual String_t GetCharacters() const { return CollectedText(); }
  // WriteTo(writer) writes the whole element: open tag, content, close tag.
  virtual void WriteTo(QxMoxXml::XmlWriter_t& writer) const;
  // WriteTo(out, encoding, declaration) writes the element as a document in UTF-8 (the only
  // encoding; another throws QxMoxMsg::IllegalArgumentError_t), with an XML declaration first
  // when declaration is true.
  virtual void WriteTo(QxMoxIo::OutputStream_t& out, const char* encoding, bool declaration) const;
  // WriteTo(out, declaration) writes the element's text to a character sink.
  virtual void WriteTo(Writer_t& out, bool declaration) const;
  // WriteOpenTagTo opens the argument's element with its namespaces, attributes and type.
  virtual void WriteOpenTagTo(QxMoxXml::XmlWriter_t& writer) const;
  // WriteContentTo writes the value inside the element (nothing in the base).
  virtual void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const;
  virtual void WriteCloseTagTo(QxMoxXml::XmlWriter_t& writer) const;
  // StartElement returns this for the argument's own name, null for anything else.
  SOAPElement* StartElement(const String_t& prefix, const String_t& name,
                            const String_t& namespaceUri) override;
  void Characters(const char16_t* text, size_t length) override;
  void EndElement(const String_t& prefix, const String_t& name,
                  const String_t& namespaceUri) override;
  void ResetParse() override {
    m_inside = false;
    SOAPElement::ResetParse();
  }
  // SetTypeAttribute sets the xsi:type written on the tag ("xsd:int"); empty writes none.
  virtual void SetTypeAttribute(const String_t& type) { m_type = type; }
  virtual String_t GetTypeAttribute() const { return m_type; }
  ~SOAPArg() override = default;

 protected:
  // IsInside is true between the argument's own start and end while parsing.
  bool IsInside() const { return m_inside; }

 private:
  std::vector<std::pair<String_t, String_t>> m_attributes;  // namespaces first, as added
  String_t m_type;
  bool m_inside = false;
};

// Text forms of the simple kinds. Each traits struct gives the value type, the xsi:type, the
// text written (Format) and the reading of received text into a value in place (Parse; throws
// QxMoxMsg::IllegalArgumentError_t for text that is not a value of the kind, where stated).
struct IntTraits {
  using Value = int32_t;
  static const char* Type() { return "xsd:int"; }
  static String_t Format(const Value& value);
  static void Parse(const String_t& text, Value& value);
};
struct BoolTraits {
  using Value = bool;
  static const char* Type() { return "xsd:boolean"; }
  static String_t Format(const Value& value);
  // Parse accepts true, false, 1 and 0 (surrounding white space ignored); throws otherwise.
  static void Parse(const String_t& text, Value& value);
};
struct ULongTraits {
  using Value = uint64_t;
  static const char* Type() { return "xsd:unsignedLong"; }
  static String_t Format(const Value& value);
  // Parse throws for anything but decimal digits within 64 bits.
  static void Parse(const String_t& text, Value& value);
};
struct UnicodeStringTraits {
  using Value = String_t;
  static const char* Type() { return "xsd:string"; }
  static String_t Format(const Value& value) { return value; }
  static void Parse(const String_t& text, Value& value) { value = text; }
};
struct URITraits {
  using Value = QxMoxNet::URI_t;
  static const char* Type() { return "xsd:anyURI"; }
  static String_t Format(const Value& value) { return value.ToString(); }
  // Parse throws for text that is not a URI.
  static void Parse(const String_t& text, Value& value);
};
struct ByteArrayTraits {
  using Value = QxMoxArray::CharArray_t;
  static const char* Type() { return "xsd:base64Binary"; }
  static String_t Format(const Value& value);
  // Parse reads base64 (white space ignored); throws for other characters or bad padding.
  static void Parse(const String_t& text, Value& value);
};
// Date-times are written as xsd:dateTime in UTC ("2026-12-06T07:58:35Z"). Parse accepts an
// optional fraction (dropped) and Z or a +hh:mm / -hh:mm offset; the second member of the
// value is not carried in the text and keeps what the target held.
template <class DateTime>
struct DateTimeTraits {
  using Value = DateTime;
  static const char* Type() { return "xsd:dateTime"; }
  static String_t Format(const Value& value);
  // Parse throws for text that is not a date-time, and for XSDDateTime when the time does not
  // fit in 32 bits.
  static void Parse(const String_t& text, Value& value);
};

// SOAPArgSimple is an argument whose value is element text. Built from a value, the argument
// holds a copy (for sending); built from a pointer, writing reads and parsing fills the caller's
// object, which must outlive the argument. A received element without text gives the kind's
// reading of the empty text; an argument whose element never arrives keeps its value.
template <class Traits>
class SOAPArgSimple : public SOAPArg {
 public:
  using Value = typename Traits::Value;
  SOAPArgSimple(const String_t& name, Value value)
      : SOAPArg(name), m_holder(std::move(value)), m_target(&m_holder) {
    SetTypeAttribute(TypeText());
  }
  SOAPArgSimple(const String_t& name, Value* target) : SOAPArg(name) {
    SetTarget(target);
    SetTypeAttribute(TypeText());
  }
  const Value& GetValue() const { return *m_target; }
  void SetValue(const Value& value) { *m_target = value; }
  // SetTarget makes writing read and parsing fill *target from now on (null: the argument's own
  // value), as if the argument had been built from target.
  void SetTarget(Value* target) { m_target = target != nullptr ? target : &m_holder; }
  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override;
  void EndElement(const String_t& prefix, const String_t& name,
                  const String_t& namespaceUri) override;

 private:
  // TypeText is the kind's xsi:type, decoded once: records build simple arguments per item.
  static const String_t& TypeText() {
    static const String_t text(Traits::Type());
    return text;
  }

  Value m_holder{};
  Value* m_target = &m_holder;
};

extern template class SOAPArgSimple<IntTraits>;
extern template class SOAPArgSimple<BoolTraits>;
extern template class SOAPArgSimple<ULongTraits>;
extern template class SOAPArgSimple<UnicodeStringTraits>;
extern template class SOAPArgSimple<URITraits>;
extern template class SOAPArgSimple<ByteArrayTraits>;
extern template class SOAPArgSimple<DateTimeTraits<XSDDateTime>>;
extern template class SOAPArgSimple<DateTimeTraits<XSDDateTime_ex>>;

// SOAPArgInt is a signed 32-bit integer in decimal.
class SOAPArgInt : public SOAPArgSimple<IntTraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
  // IntToUnicode returns the decimal text of value.
  static String_t IntToUnicode(int32_t value);
  // UnicodeToInt reads the whole text as a decimal integer: surrounding XML white space, an
  // optional sign and at least one digit, within 32 bits. Anything else (empty text, other
  // characters, a value beyond 32 bits) throws QxMoxMsg::IllegalArgumentError_t, which a
  // server answers as a "Client" fault.
  static int32_t UnicodeToInt(const String_t& text);
};
class SOAPArgBool : public SOAPArgSimple<BoolTraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgULong : public SOAPArgSimple<ULongTraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgUnicodeString : public SOAPArgSimple<UnicodeStringTraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgURI : public SOAPArgSimple<URITraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgByteArray : public SOAPArgSimple<ByteArrayTraits> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgDateTime : public SOAPArgSimple<DateTimeTraits<XSDDateTime>> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};
class SOAPArgDateTime_ex : public SOAPArgSimple<DateTimeTraits<XSDDateTime_ex>> {
 public:
  using SOAPArgSimple::SOAPArgSimple;
};

// SOAPEnvelope is a SOAP 1.1 document: an Envelope whose Body holds one element named after
// the method, with the arguments as its children in the order given.
class SOAPEnvelope {
 public:
  // SetMethod names the Body's element; namespaceUri is the method element's namespace.
  void SetMethod(const String_t& name, const String_t& namespaceUri = DefaultNamespace());
  const String_t& GetMethod() const { return m_method; }
  const String_t& GetMethodNamespace() const { return m_namespace; }
  // SetArgs takes the arguments to write (not owned; they must live until the envelope is
  // written). Throws QxMoxMsg::IllegalArgumentError_t for a negative count or a null entry.
  void SetArgs(int count, SOAPArg* const* args);
  // Write returns the document in UTF-8 with its XML declaration. Throws
  // QxMoxMsg::IllegalStateError_t when no method is set.
  std::string Write() const;
  // DefaultNamespace is the namespace of method elements unless one is given.
  static String_t DefaultNamespace() { return "urn:qx:zeb:rpc"; }

 private:
  String_t m_method;
  String_t m_namespace = DefaultNamespace();
  std::vector<SOAPArg*> m_args;
};

// ReadEnvelope parses a SOAP 1.1 document and fills the arguments by name from the children of
// the Body's element, as calls and servers do; returns that element's local name. An argument
// the document does not carry keeps its value. Throws QxZebRpc::RpcException for a Fault (its
// code and text), for a document that is not a well-formed envelope, that is larger than 16 MiB,
// nested deeper than 64 levels or has a document type declaration (arguments filled before the
// offending point keep what they got); a value an argument cannot read throws
// QxMoxMsg::IllegalArgumentError_t.
String_t ReadEnvelope(std::string_view document, int count, SOAPArg* const* args);

}  // namespace QxZebSoap
