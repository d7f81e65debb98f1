// Arbitrary bytes as an RPC body: the reader must refuse or accept them without a fault of its
// own (memory, undefined behaviour, an exception other than the library's).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qxzeb/QxZeb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int32_t n = 0;
  bool flag = false;
  uint64_t u = 0;
  QxMoxStr::String_t s;
  QxMoxArray::CharArray_t k;
  QxZebSoap::XSDDateTime t{};
  QxZebSoap::XSDDateTime_ex te{};
  QxMoxNet::URI_t uri;
  QxZebSoap::SOAPArgInt an("n", &n);
  QxZebSoap::SOAPArgBool af("flag", &flag);
  QxZebSoap::SOAPArgULong au("u", &u);
  QxZebSoap::SOAPArgUnicodeString as("s", &s);
  QxZebSoap::SOAPArgByteArray ak("k", &k);
  QxZebSoap::SOAPArgDateTime at("t", &t);
  QxZebSoap::SOAPArgDateTime_ex ate("te", &te);
  QxZebSoap::SOAPArgURI auri("uri", &uri);
  QxZebSoap::SOAPArg* args[] = {&an, &af, &au, &as, &ak, &at, &ate, &auri};
  try {
    QxZebSoap::ReadEnvelope(std::string_view(reinterpret_cast<const char*>(data), size), 8, args);
  } catch (const QxMoxMsg::Exception_t&) {
  }
  return 0;
}
