// How the server commands reach the certificate server.
#include "ServerAccess.h"

#include <sys/stat.h>

#include <cerrno>
#include <iostream>

#include "qxmox/Config.h"
#include "qxmox/Net.h"

namespace QxCm {
namespace {

std::string ConfigValue(const char* ns, const char* key) {
  const QxMoxStr::String_t value = QxMoxConfig::ConfigNamespace_t(ns).Open().GetValue(key);
  return value.IsNull() ? std::string() : value.ToUtf8();
}

}  // namespace

void AddServerOptions(CLI::App* command, ServerArgs& args) {
  command
      ->add_option("--server", args.server,
                   "The certificate server; default: [sec.cm.client] CERTIFICATE_SERVER, else "
                   "localhost; without PORT: [zeb.http] PORT (default 15080)")
      ->type_name("HOST[:PORT]");
  command
      ->add_option("--target-id", args.targetId,
                   "The id the server's TLS certificate must name (its core id)")
      ->type_name("ID");
}

std::string ServerAuthority(const ServerArgs& args) {
  std::string authority = args.server;
  if (authority.empty()) authority = ConfigValue("sec.cm.client", "CERTIFICATE_SERVER");
  if (authority.empty()) authority = "localhost";
  // The URI parser reads the port as the node does, IPv6 brackets included.
  if (QxMoxNet::URI_t(QxMoxStr::String_t("//" + authority)).GetPort() >= 0) return authority;
  const std::string port = ConfigValue("zeb.http", "PORT");
  return authority + ":" + (port.empty() ? "15080" : port);
}

std::string ServerStorePath() { return QxCmServer::SqliteStore::DefaultPath(); }

std::unique_ptr<QxCmServer::SqliteStore> OpenServerStore(bool create) {
  const std::string path = ServerStorePath();
  struct stat info {};
  if (!create && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
    std::cerr << "qxcm: no certificate server database at " << path << '\n';
    return nullptr;
  }
  return std::make_unique<QxCmServer::SqliteStore>(path);
}

}  // namespace QxCm
