// Catalog: the library's message catalog and its one table of default texts.
#include "qxseccm/Catalog.h"

#include <algorithm>
#include <array>

namespace QxSecCm {
namespace {

// The messages of catalog "sec.cm.client", ordered by number. These default texts are the
// texts of record: the library and its peers compare against them, so they stay as they are,
// spelling included.
// clang-format off
constexpr std::array kMessages = {
    Catalog::Entry{1, "Invalid key type."},
    Catalog::Entry{2, "Could not create key from provided data (%1)."},
    Catalog::Entry{3, "Could not create memory buffer."},
    Catalog::Entry{4, "Could not parse encoded X509 Certificate (%1)."},
    Catalog::Entry{5, "Could not parse encoded X.509 certificate request (%1)."},
    Catalog::Entry{6, "Could not extract public key from X.509 certificate request (%1)."},
    Catalog::Entry{7, "Could not verify signature on certificate request."},
    Catalog::Entry{8, "Could not create a new certificate object."},
    Catalog::Entry{9, "Could not set version field of certificate."},
    Catalog::Entry{10, "Could not get subject name field from certificate request."},
    Catalog::Entry{11, "Could not set subject name field of certificate."},
    Catalog::Entry{12, "Could not set issuer name field of certificate."},
    Catalog::Entry{13, "Could not set public key of certificate."},
    Catalog::Entry{14, "Could not set beginning time of certificate."},
    Catalog::Entry{15, "Could not set ending time of certificate."},
    Catalog::Entry{16, "Could not create X509 extension object."},
    Catalog::Entry{17, "Could not add X509 extension to certificate."},
    Catalog::Entry{18, "Error while signing certificate."},
    Catalog::Entry{19, "Could not write X.509 certificate to memory buffer (%1)."},
    Catalog::Entry{20, "Could not create directory '%1'."},
    Catalog::Entry{21, "Could not open file '%1'."},
    Catalog::Entry{22, "Could not write to file '%1'."},
    Catalog::Entry{23, "Error during CertificateClient initialization."},
    Catalog::Entry{24, "Unknown error during CertificateClient initialization."},
    Catalog::Entry{25, "Inconsistent state: Private key for installed certificate is missing."},
    Catalog::Entry{26, "Inconsistent state: Certificate for installed private key is missing."},
    Catalog::Entry{27, "Could not remove the old state information file '%1'."},
    Catalog::Entry{28, "Removed old state information file '%1'."},
    Catalog::Entry{29, "Could not restore state information. The state was reset to the initial state."},
    Catalog::Entry{30, "Could not save state information to file '%1'."},
    Catalog::Entry{31, "State information file '%1' is corrupt."},
    Catalog::Entry{32, "Could not load state information from file '%1'."},
    Catalog::Entry{33, "Ignored unexpected response for request id '%1'."},
    Catalog::Entry{34, "Response from certificate server contained unknown request id '%1'."},
    Catalog::Entry{35, "Received certificate from certificate server."},
    Catalog::Entry{36, "Could not remove old state information file '%1'."},
    Catalog::Entry{37, "Certificate installation failed."},
    Catalog::Entry{38, "Certificate request with id '%1' was denied by certificate server."},
    Catalog::Entry{39, "Certificate request was rejected because of a duplicate request id ('%1')."},
    Catalog::Entry{40, "Received unknown return code '%1' from server."},
    Catalog::Entry{41, "Deployment type setting '%1' not recognized. Using 'AUTO' instead."},
    Catalog::Entry{42, "Certificate with alias '%1' is already installed."},
    Catalog::Entry{43, "Successfully installed certificate for alias '%1'."},
    Catalog::Entry{44, "Retained trusted certificate with alias `%1` during trusted root certificate update."},
    Catalog::Entry{45, "Trusted root certificates were successfully updated."},
    Catalog::Entry{46, "Could not update trusted root certificates."},
    Catalog::Entry{47, "Received a corrupt certificate response."},
    Catalog::Entry{48, "Received a corrupt answer from certificate client."},
    Catalog::Entry{49, "Error while processing certificate response."},
    Catalog::Entry{50, "Configuration setting CERTIFICATE_SERVER is not set. Certificate request cannot be sent."},
    Catalog::Entry{51, "Error while sending certificate request."},
    Catalog::Entry{52, "Configuration setting CERTIFICATE_SERVER is not set. Trusted root certificates could not be updated."},
    Catalog::Entry{53, "The QxCoreId of the contacted CertificateServer did not match with the CERTIFICATE_SERVER_ID setting.Trusted root certificates could not be updated."},
    Catalog::Entry{54, "Configuration setting CERTIFICATE_SERVER is not set. 'Certificate installed' message could not be sent."},
    Catalog::Entry{55, "Call to server failed."},
    Catalog::Entry{56, "Unknown request id '%1'."},
    Catalog::Entry{57, "Could not create PKCS12 structure (%1)."},
    Catalog::Entry{58, "Wrong password."},
    Catalog::Entry{59, "Could not read PKCS12 structure (%1)."},
    Catalog::Entry{60, "Could not write x509 structure to memory buffer (%1)."},
    Catalog::Entry{61, "Could not write key to memory buffer (%1)."},
    Catalog::Entry{62, "Could not write PKCS12 structure to memory buffer (%1)."},
    Catalog::Entry{63, "Could not read PKCS12 structure from memory buffer (%1)."},
    Catalog::Entry{64, "Certificate request with id '%1' was sent to Certificate Server."},
    Catalog::Entry{65, "Certificate request could not be sent to Certificate Server after %1 retries. MAX_RETRIES limit was reached."},
    Catalog::Entry{66, "Certificate request could not be sent to Certificate Server after %1 retries (%2 retries are left)."},
    Catalog::Entry{67, "INFO:"},
    Catalog::Entry{68, "NOTE:"},
    Catalog::Entry{69, "WARNING:"},
    Catalog::Entry{70, "ERROR:"},
    Catalog::Entry{71, "Could not generate a useable RSA key pair."},
    Catalog::Entry{72, "Error during generation of RSA key pair (%1)."},
    Catalog::Entry{73, "Could not generate certificate request."},
    Catalog::Entry{74, "Could not find NID for '%1'."},
    Catalog::Entry{75, "Could not create Name entry from NID."},
    Catalog::Entry{76, "Could not add Name entry."},
    Catalog::Entry{77, "Could not add subject to request."},
    Catalog::Entry{78, "Could not write request to memory buffer."},
    Catalog::Entry{79, "Could not write data."},
    Catalog::Entry{148, "The certifcate server did not accept the installation key for request with id '%1'."},
    Catalog::Entry{149, "Could not change file access permissions for directory '%1'."},
    Catalog::Entry{152, "The certificate to be installed is not valid at this time. This may be caused by the clock on the local system not being synchronized with the clock on the certificate server."},
};
// clang-format on

constexpr bool IsOrdered() {
  for (size_t i = 1; i < kMessages.size(); ++i) {
    if (kMessages[i - 1].number >= kMessages[i].number) return false;
  }
  return true;
}
static_assert(IsOrdered(), "the message table must stay ordered by number");

const Catalog::Entry* Find(int number) {
  const auto it =
      std::lower_bound(kMessages.begin(), kMessages.end(), number,
                       [](const Catalog::Entry& entry, int n) { return entry.number < n; });
  return it != kMessages.end() && it->number == number ? &*it : nullptr;
}

QxMoxMsg::Message_t Build(QxMoxMsg::Severity_e severity, int number) {
  return QxMoxMsg::CreateMessage_t(severity, Catalog::GetCatalog(), number,
                                   QxMoxStr::String_t(Catalog::Text(number)));
}

}  // namespace

const QxMoxMsg::MessageCatalog_t& Catalog::GetCatalog() {
  static const QxMoxMsg::MessageCatalog_t catalog(QxMoxStr::String_t("sec.cm.client"));
  return catalog;
}

const char* Catalog::Text(int number) {
  const Entry* entry = Find(number);
  return entry != nullptr ? entry->text : "";
}

bool Catalog::Has(int number) { return Find(number) != nullptr; }

std::span<const Catalog::Entry> Catalog::Entries() { return kMessages; }

QxMoxMsg::Message_t Catalog::Warn(int number) { return Build(QxMoxMsg::SEV_WARNING, number); }

QxMoxMsg::Message_t Catalog::Error(int number) { return Build(QxMoxMsg::SEV_ERROR, number); }

QxMoxMsg::Message_t Catalog::Info(int number) { return Build(QxMoxMsg::SEV_INFO, number); }

QxMoxMsg::Message_t Catalog::Plain(int number) { return Build(QxMoxMsg::SEV_NONE, number); }

}  // namespace QxSecCm
