// qxcm installkey: create, list and remove the installation keys the certificate server accepts
// requests with. Keys are kept in the server's database on its machine and never sent over the
// network; the key file reaches the node by other means.
#include <string.h>
#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <string>

#include "CommandSupport.h"
#include "Commands.h"
#include "InstallKey.h"
#include "ServerAccess.h"
#include "qxmox/Exception.h"
#include "qxseccm/Utils.h"

namespace QxCm {
namespace {

struct CreateArgs {
  std::string id, out;
};

// Create registers the key only once its file is written in full beside its destination, and
// withdraws it when the file cannot be moved into place: a key is in the store exactly when
// its file exists.
void Create(const CreateArgs& a) {
  struct stat info {};
  if (a.out != STANDARD_STREAM && ::lstat(a.out.c_str(), &info) == 0) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t(
        "'" + a.out + "' exists already: an installation key file is never replaced."));
  }
  OutputFiles out({ServerStorePath()}, {a.out});
  const auto store = OpenServerStore(true);
  if (store->GetInstallKey(a.id)) {
    QxMoxMsg::ThrowIllegalArgument(
        QxMoxStr::String_t("The installation key '" + a.id +
                           "' exists already; remove it first (qxcm installkey "
                           "remove " +
                           a.id + ")."));
  }
  Secret key{QxMoxArray::CharArray_t(INSTALL_KEY_SIZE)};
  QxSecCm::Utils::GetRandomBytes(key.bytes);
  out.Add(a.out, FormatInstallKey(key).bytes, OutputFiles::SECRET);
  std::string stored(key.bytes.View());
  try {
    store->PutInstallKey(a.id, stored);
  } catch (...) {
    explicit_bzero(stored.data(), stored.size());
    throw;
  }
  explicit_bzero(stored.data(), stored.size());
  try {
    out.Commit();
  } catch (...) {
    store->RemoveInstallKey(a.id);
    throw;
  }
  out.Report() << "Created the installation key " << a.id << " in " << ServerStorePath()
               << " and wrote it to " << Shown(a.out) << ".\n";
}

void List() {
  const auto store = OpenServerStore(false);
  if (!store) return;
  const std::vector<std::string> ids = store->ListInstallKeys();
  for (const std::string& id : ids) std::cout << id << '\n';
  if (ids.empty()) std::cerr << "qxcm: no installation keys in " << ServerStorePath() << '\n';
}

void Remove(const std::string& id) {
  const auto store = OpenServerStore(false);
  if (!store || !store->RemoveInstallKey(id)) {
    QxMoxMsg::ThrowIllegalArgument(
        QxMoxStr::String_t("No installation key '" + id + "' in " + ServerStorePath() + "."));
  }
  std::cout << "Removed the installation key " << id << ".\n";
}

}  // namespace

void AddInstallKeyCommand(CLI::App& app) {
  CLI::App* installkey =
      AddGroup(app, "installkey",
               std::string("Installation keys: a node that sends its request with a registered "
                           "key is known to the server (and may be granted at once).") +
                   kLocalStoreNote,
               "create, list or remove");

  auto args = std::make_shared<CreateArgs>();
  CLI::App* create = installkey->add_subcommand(
      "create",
      "Draw a random 32-byte key, register it under ID and write it to FILE as 64 hexadecimal "
      "digits and a line feed (mode 0600), the form 'qxcm node request --install-key-file' "
      "reads. An existing FILE or ID is left alone");
  create->add_option("--id", args->id, "The key's id (the node's --install-id)")
      ->type_name("ID")
      ->required()
      ->check([](const std::string& id) {
        return id.empty() || id == "0" ? std::string("0 and the empty id are reserved")
                                       : std::string();
      });
  create->add_option("--out", args->out, "Where to write the key (- for standard output)")
      ->type_name("FILE")
      ->required();
  create->callback([args] { Create(*args); });

  installkey->add_subcommand("list", "Print the ids of the registered keys, one per line")
      ->callback(List);

  auto id = std::make_shared<std::string>();
  CLI::App* remove =
      installkey->add_subcommand("remove", "Remove the key ID: requests made with it are refused");
  remove->add_option("ID", *id, "The key's id")->required();
  remove->callback([id] { Remove(*id); });
}

}  // namespace QxCm
