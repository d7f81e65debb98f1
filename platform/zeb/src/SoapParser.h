// The SOAP reader: expat with namespaces, feeding parser events to argument elements.
#pragma once

#include <functional>
#include <string_view>

#include "qxzeb/Soap.h"

namespace QxZebSoap {

// Limits of a document: larger or deeper documents, and any document type declaration, are
// refused before any argument receives events past the offending point.
inline constexpr size_t kMaxDocumentBytes = 16u << 20;
inline constexpr int kMaxDepth = 64;

// ArgResolver returns the argument for a child of the method element (null: skipped).
using ArgResolver = std::function<SOAPElement*(const String_t& prefix, const String_t& name,
                                               const String_t& namespaceUri)>;

struct SoapDocument {
  String_t methodName;  // local name of the Body's first element
  String_t methodNamespace;
  bool fault = false;
  String_t faultCode;  // local part of faultcode ("Server")
  String_t faultString;
};

// ParseSoap reads a SOAP 1.1 envelope. Children of the Body's first element go to the
// arguments the resolver gives; events inside them are routed as SOAPElement describes.
// With methodOnly it stops once the method element has started. A non-empty expectMethod is the
// local name the method element must have (a Fault is always accepted). Throws
// QxZebRpc::RpcException (fault code "Client") for a document that is not well-formed, not a
// SOAP envelope, too large, too deep, or carries a DOCTYPE; an exception an argument throws
// while it is filled propagates unchanged.
SoapDocument ParseSoap(std::string_view document, const ArgResolver& resolver, bool methodOnly,
                       const String_t& expectMethod = String_t());

// ResolveByName returns a resolver over an argument array: the first argument whose name equals
// the element's local name and has not been filled yet by this document.
ArgResolver ResolveByName(int count, SOAPArg* const* args);

}  // namespace QxZebSoap
