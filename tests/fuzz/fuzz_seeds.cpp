// Writes the seeds of certrequest_fuzz and soap_fuzz with the library's own writers:
//   fuzz_seeds <dir>   (normally tests/fuzz/corpus) fills <dir>/certrequest_fuzz/ and
//   <dir>/soap_fuzz/. The seeds are committed; run this again when a wire format changes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "RecordSamples.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"
#include "qxzeb/QxZeb.h"

namespace {

namespace fs = std::filesystem;
using QxMoxStr::String_t;
using namespace QxZebSoap;

void Save(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + (dir / name).string());
}

// Stream returns a record's stream, with the peer address (item 14) or without it.
template <class R>
std::string Stream(const R& record, bool withPeer) {
  QxMoxIo::CharArrayOutputStream_t out;
  if (withPeer) {
    record->WriteToWithPeerAddress(&out);
  } else {
    record->WriteTo(&out);
  }
  return out.ToCharArray().ToStdString();
}

void CertRequestSeeds(const fs::path& dir) {
  using QxSecCm::CertRequest;
  using QxSecCm::CertRequest_ex;
  Save(dir, "items", Stream(QxTest::SampleRequest<CertRequest>(1), false));
  Save(dir, "items-peer", Stream(QxTest::SampleRequest<CertRequest>(2), true));
  CertRequest_ex far = QxTest::SampleRequest<CertRequest_ex>(3);
  far->SetTimeReceived((int64_t{1} << 40) + 3);  // travels as its low 32 bits
  Save(dir, "ex-peer-time-beyond-32-bits", Stream(far, true));
  // A new record: empty strings, installation type none; two null strings (count -1).
  CertRequest_ex fresh;
  fresh->SetId(String_t::Null());
  fresh->SetPeerAddress(String_t::Null());
  fresh->SetTimeReceived(-1);
  Save(dir, "ex-new-null-strings-peer", Stream(fresh, true));
}

std::string Envelope(std::vector<SOAPArg*> args) {
  SOAPEnvelope envelope;
  envelope.SetMethod("Echo");
  envelope.SetArgs(static_cast<int>(args.size()), args.data());
  return envelope.Write();
}

// The argument names are those soap_fuzz reads.
void SoapSeeds(const fs::path& dir) {
  QxMoxArray::CharArray_t bytes(std::string_view("\x00\x01pem\xfe\xff", 7));
  SOAPArgInt n("n", INT32_MIN);
  SOAPArgBool flag("flag", true);
  SOAPArgULong u("u", UINT64_MAX);
  SOAPArgUnicodeString s("s", String_t(u"a<b>&c \"q\"\r\n\u00e9\U0001F600"));
  SOAPArgByteArray k("k", bytes);
  SOAPArgDateTime t("t", XSDDateTime{INT32_MAX, 0});
  SOAPArgDateTime_ex te("te", XSDDateTime_ex{-(int64_t{1} << 40), 0});
  SOAPArgURI uri("uri", QxMoxNet::URI_t("https://host.example:15443/qx/node/"));
  Save(dir, "int", Envelope({&n}));
  Save(dir, "bool", Envelope({&flag}));
  Save(dir, "ulong", Envelope({&u}));
  Save(dir, "string", Envelope({&s}));
  Save(dir, "bytes", Envelope({&k}));
  Save(dir, "datetime", Envelope({&t}));
  Save(dir, "datetime-ex", Envelope({&te}));
  Save(dir, "uri", Envelope({&uri}));
  Save(dir, "all", Envelope({&n, &flag, &u, &s, &k, &t, &te, &uri}));
  // Only a server writes a Fault, so this one is spelled out.
  Save(dir, "fault",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\""
       "http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>"
       "SOAP-ENV:Client</faultcode><faultstring>not a valid xsd:int: '1e3'</faultstring>"
       "</SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus directory>\n");
    return 2;
  }
  CertRequestSeeds(fs::path(argv[1]) / "certrequest_fuzz");
  SoapSeeds(fs::path(argv[1]) / "soap_fuzz");
  return 0;
}
