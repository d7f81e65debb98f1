#include "SoapParser.h"

#include <expat.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "SoapNameTable.h"
#include "SoapWriter.h"
#include "qxmox/Exception.h"
#include "qxzeb/Exceptions.h"

namespace QxZebSoap {

namespace {

[[noreturn]] void Refuse(const String_t& why) {
  throw QxZebRpc::RpcException(QxMoxMsg::CreateError_t("malformed SOAP message: " + why), "Client");
}

// ParserOwner frees the expat parser on every path.
struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree>;

// FaultCollector gathers faultcode and faultstring.
class FaultCollector : public SOAPElement {
 public:
  explicit FaultCollector(SoapDocument& doc) : m_doc(doc) {}
  SOAPElement* StartElement(const String_t& p, const String_t& n, const String_t& ns) override {
    m_field = n == String_t("faultcode")     ? &m_doc.faultCode
              : n == String_t("faultstring") ? &m_doc.faultString
                                             : nullptr;
    return m_field ? SOAPElement::StartElement(p, n, ns) : nullptr;
  }
  void EndElement(const String_t&, const String_t&, const String_t&) override {
    if (m_field) *m_field = CollectedText();
    m_field = nullptr;
  }

 private:
  SoapDocument& m_doc;
  String_t* m_field = nullptr;
};

class Reader {
 public:
  Reader(const ArgResolver& resolver, bool methodOnly, const String_t& expectMethod)
      : m_resolver(resolver), m_methodOnly(methodOnly), m_expect(expectMethod), m_fault(m_doc) {}

  SoapDocument Run(std::string_view document) {
    if (document.size() > kMaxDocumentBytes) Refuse("larger than 16 MiB");
    ParserPtr parser(XML_ParserCreateNS("UTF-8", kNameSeparator));
    if (!parser) throw std::bad_alloc();
    m_parser = parser.get();
    XML_SetReturnNSTriplet(m_parser, 1);
    XML_SetUserData(m_parser, this);
    XML_SetElementHandler(m_parser, &Reader::OnStart, &Reader::OnEnd);
    XML_SetCharacterDataHandler(m_parser, &Reader::OnText);
    XML_SetStartDoctypeDeclHandler(m_parser, &Reader::OnDoctype);
    const XML_Status status =
        XML_Parse(m_parser, document.data(), static_cast<int>(document.size()), XML_TRUE);
    if (m_error) std::rethrow_exception(m_error);
    if (status != XML_STATUS_OK && !m_stopped) {
      Refuse(String_t(XML_ErrorString(XML_GetErrorCode(m_parser))) + " at line " +
             QxMoxStr::NumToStr(static_cast<uint64_t>(XML_GetCurrentLineNumber(m_parser))));
    }
    if (m_doc.methodName.IsEmpty()) Refuse("no element in the SOAP Body");
    return m_doc;
  }

 private:
  template <class F>
  static void Guard(void* self, F&& f) {
    auto* r = static_cast<Reader*>(self);
    if (r->m_error || r->m_stopped) return;
    try {
      f(*r);
    } catch (...) {
      r->m_error = std::current_exception();
      XML_StopParser(r->m_parser, XML_FALSE);
    }
  }

  static void XMLCALL OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*,
                                int) {
    Guard(self, [](Reader&) { Refuse("document type declarations are not accepted"); });
  }

  static void XMLCALL OnStart(void* self, const XML_Char* raw, const XML_Char**) {
    Guard(self, [raw](Reader& r) { r.Start(raw); });
  }

  static void XMLCALL OnEnd(void* self, const XML_Char* raw) {
    Guard(self, [raw](Reader& r) { r.End(raw); });
  }

  static void XMLCALL OnText(void* self, const XML_Char* text, int length) {
    Guard(self, [text, length](Reader& r) {
      if (r.m_depth > 3 && !r.m_stack.empty() && r.m_stack.back().receiver != nullptr) {
        r.m_units.clear();
        QxMoxStr::AppendUtf8ToUtf16(std::string_view(text, static_cast<size_t>(length)), r.m_units);
        r.m_stack.back().receiver->Characters(r.m_units.data(), r.m_units.size());
      }
    });
  }

  void Start(const char* raw) {
    if (++m_depth > kMaxDepth) Refuse("nesting deeper than 64 levels");
    if (m_depth <= 3) {
      StartFrameElement(m_names.Get(raw));
      return;
    }
    // Inside a skipped element everything is skipped, without decoding the names.
    const bool parentReceives = m_depth == 4 ? !m_skip : m_stack.back().receiver != nullptr;
    Open open;
    if (parentReceives) {
      const SoapName& n = m_names.Get(raw);
      SOAPElement* parent = m_depth > 4   ? m_stack.back().receiver
                            : m_doc.fault ? &m_fault
                                          : m_resolver(n.prefix, n.local, n.ns);
      if (parent != nullptr) {
        if (m_depth == 4) parent->ResetParse();
        open.receiver = parent->StartElement(n.prefix, n.local, n.ns);
      }
      if (m_names.IsKept(n)) open.name = &n;
    }
    m_stack.push_back(open);
  }

  // StartFrameElement checks the Envelope, its Body and the method element.
  void StartFrameElement(const SoapName& n) {
    switch (m_depth) {
      case 1:
        if (n.ns != String_t(kEnvelopeNs) || n.local != String_t("Envelope"))
          Refuse("no SOAP Envelope");
        return;
      case 2:
        if (n.ns != String_t(kEnvelopeNs)) Refuse("unexpected element in the Envelope");
        m_inBody = n.local == String_t("Body");
        return;
      default:
        break;
    }
    if (!m_inBody || m_sawMethod) {
      m_skip = true;
      return;
    }
    m_sawMethod = true;
    m_skip = false;
    m_doc.methodName = n.local;
    m_doc.methodNamespace = n.ns;
    m_doc.fault = n.ns == String_t(kEnvelopeNs) && n.local == String_t("Fault");
    if (!m_doc.fault && !m_expect.IsEmpty() && n.local != m_expect) {
      Refuse("answer element " + n.local + " where " + m_expect + " was expected");
    }
    if (m_methodOnly && !m_doc.fault) {
      m_stopped = true;
      XML_StopParser(m_parser, XML_FALSE);
    }
  }

  void End(const char* raw) {
    if (m_depth-- > 3) {
      const Open open = m_stack.back();
      m_stack.pop_back();
      if (open.receiver) {
        const SoapName& n = open.name ? *open.name : m_names.Get(raw);
        open.receiver->EndElement(n.prefix, n.local, n.ns);
      }
    } else if (m_depth == 1) {
      m_inBody = false;
    }
  }

  // Open is an element below the method element: the receiver of its events (null: skipped)
  // and its name when the table keeps it, so the closing tag needs no second lookup.
  struct Open {
    SOAPElement* receiver = nullptr;
    const SoapName* name = nullptr;
  };

  const ArgResolver& m_resolver;
  const bool m_methodOnly;
  const String_t m_expect;
  SoapDocument m_doc;
  FaultCollector m_fault;
  XML_Parser m_parser = nullptr;
  std::exception_ptr m_error;
  std::vector<Open> m_stack;  // the open elements below the method element
  SoapNameTable m_names;
  std::u16string m_units;  // decoded character data, reused so each piece costs no allocation
  int m_depth = 0;
  bool m_inBody = false, m_sawMethod = false, m_skip = false, m_stopped = false;
};

}  // namespace

SoapDocument ParseSoap(std::string_view document, const ArgResolver& resolver, bool methodOnly,
                       const String_t& expectMethod) {
  return Reader(resolver, methodOnly, expectMethod).Run(document);
}

ArgResolver ResolveByName(int count, SOAPArg* const* args) {
  auto used = std::make_shared<std::vector<bool>>(count > 0 ? count : 0, false);
  return
      [count, args, used](const String_t&, const String_t& name, const String_t&) -> SOAPElement* {
        SOAPArg* last = nullptr;
        for (int i = 0; i < count; ++i) {
          if (args[i] == nullptr || args[i]->GetName() != name) continue;
          if (!(*used)[i]) {
            (*used)[i] = true;
            return args[i];
          }
          last = args[i];
        }
        return last;
      };
}

String_t ReadEnvelope(std::string_view document, int count, SOAPArg* const* args) {
  if (count < 0 || (count > 0 && args == nullptr)) {
    QxMoxMsg::ThrowIllegalArgument("ReadEnvelope: bad argument count or array");
  }
  SoapDocument doc = ParseSoap(document, ResolveByName(count, args), false);
  if (doc.fault) {
    throw QxZebRpc::RpcException(QxMoxMsg::CreateError_t(doc.faultString),
                                 doc.faultCode.Mid(doc.faultCode.Find(":") + 1));
  }
  return doc.methodName;
}

}  // namespace QxZebSoap
