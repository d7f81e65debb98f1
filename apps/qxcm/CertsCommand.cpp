// qxcm certs: the certificates the certificate server issued, from its database.
#include <iostream>
#include <memory>
#include <string>

#include "CommandSupport.h"
#include "Commands.h"
#include "Listing.h"
#include "ServerAccess.h"
#include "qxmox/Exception.h"
#include "qxseccore/Certificate.h"

namespace QxCm {
namespace {

void List(bool json) {
  Listing listing({{"SERIAL", "serial"},
                   {"SUBJECT", "subject"},
                   {"NODE", "node"},
                   {"NOT AFTER", "notAfter"},
                   {"DELIVERED", "delivered"},
                   {"INSTALLED", "installed"},
                   {"REQUEST", "requestId"}});
  if (const auto store = OpenServerStore(false)) {
    for (const QxCmServer::Certificate& cert : store->ListCertificates()) {
      std::string subject;
      try {
        subject = QxSecCore::X509Certificate(QxMoxStr::String_t(cert.pem)).GetSubjectCN().ToUtf8();
      } catch (const QxMoxMsg::Exception_t&) {
        subject = "?";  // a damaged row is still listed
      }
      const auto request = store->GetRequest(cert.requestId);
      listing.Add({cert.serial, subject, request ? request->coreId : std::string(),
                   UtcDate(cert.notAfterMs / 1000), cert.delivered, cert.installed,
                   cert.requestId});
    }
  }
  listing.Print(std::cout, json);
  if (listing.IsEmpty() && !json) std::cerr << "qxcm: no certificates issued\n";
}

}  // namespace

void AddCertsCommand(CLI::App& app) {
  CLI::App* certs =
      AddGroup(app, "certs", "The certificates the certificate server issued", "list");
  auto json = std::make_shared<bool>(false);
  CLI::App* list = certs->add_subcommand(
      "list",
      std::string("List the issued certificates, oldest first: serial number, subject CN, the "
                  "node's core id, end of validity (UTC), whether the node received it and "
                  "whether it reported it installed, the request's id.") +
          kLocalStoreNote);
  list->add_flag("--json", *json, "Print JSON instead of text");
  list->callback([json] { List(*json); });
}

}  // namespace QxCm
