// qxcm keystore: list the key store's entries and export one as PEM files.
#include <iostream>
#include <memory>
#include <string>

#include "CommandSupport.h"
#include "Commands.h"
#include "Listing.h"
#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxseccore/KeyStore.h"
#include "qxseccore/StringCollection.h"

namespace QxCm {
namespace {

void List() {
  QxSecCore::KeyStore store;
  QxSecCore::StringCollection aliases;
  store.Aliases(aliases);
  aliases.MoveFirst();
  // An empty listing says where it looked, so a wrong QX_HOME is noticed at once.
  if (aliases.IsAtEnd()) {
    std::cerr << "qxcm: the key store " << KeyStorePath() << " holds no entries\n";
    return;
  }
  for (; !aliases.IsAtEnd(); aliases.Next()) {
    const QxMoxStr::String_t& alias = aliases.GetCurrent();
    const QxSecCore::X509Certificate cert = store.GetCertificate(alias);
    std::cout << Printable(alias.ToUtf8()) << '\t'
              << (store.IsPrivateKeyEntry(alias) ? "own" : "trusted") << '\t'
              << Printable(cert.GetSubjectCN().ToUtf8()) << '\t' << cert.GetSerial().ToUtf8()
              << '\t' << UtcDate(cert.GetNotAfter()) << '\n';
  }
}

struct ExportArgs {
  std::string alias, outCert, outKey;
};

// Everything is read from the store before a file is written, so an entry without a private
// key leaves no certificate file behind either.
void Export(const ExportArgs& a) {
  OutputFiles out({KeyStorePath()}, {a.outKey, a.outCert});
  QxSecCore::KeyStore store;
  const QxMoxStr::String_t alias(a.alias);
  const QxSecCore::X509Certificate cert = store.GetCertificate(alias);
  Secret keyPem;
  if (!a.outKey.empty()) keyPem.bytes = store.GetPrivateKey(alias).GetEncoded();
  if (!a.outKey.empty()) out.Add(a.outKey, keyPem.bytes, OutputFiles::SECRET);
  out.Add(a.outCert, cert.GetEncoded(), OutputFiles::PUBLIC);
  out.Commit();
  out.Report() << "Wrote the certificate of " << a.alias << " to " << Shown(a.outCert);
  if (!a.outKey.empty()) out.Report() << " and its private key to " << Shown(a.outKey);
  out.Report() << '\n';
}

}  // namespace

void AddKeystoreCommand(CLI::App& app) {
  CLI::App* keystore = AddGroup(
      app, "keystore", "The key store of this node ($QX_HOME/data/keystore.db)", "list or export");

  CLI::App* list = keystore->add_subcommand(
      "list",
      "List the entries, one per line, tab-separated: alias, 'own' (certificate and private "
      "key) or 'trusted' (certificate only), subject CN, serial number, end of validity (UTC)");
  list->callback([] { List(); });

  auto args = std::make_shared<ExportArgs>();
  CLI::App* exportCmd = keystore->add_subcommand(
      "export", "Write the certificate (and the private key) of the entry ALIAS as PEM files");
  exportCmd->add_option("ALIAS", args->alias, "The entry's alias")->required();
  exportCmd
      ->add_option("--out-cert", args->outCert,
                   "Where to write the PEM certificate (- for standard output)")
      ->type_name("FILE")
      ->required();
  exportCmd
      ->add_option("--out-key", args->outKey,
                   "Where to write the unencrypted PEM private key (mode 0600; - for standard "
                   "output); the entry must be an own entry")
      ->type_name("FILE");
  exportCmd->callback([args] { Export(*args); });
}

}  // namespace QxCm
