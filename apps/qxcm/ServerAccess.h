// How the server commands reach the certificate server: over the network through the proxy and
// the observer (--server, --target-id), or, on the server's machine, through its store.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "SqliteStore.h"
#include "qxmox/String.h"

namespace QxCm {

struct ServerArgs {
  std::string server, targetId;
};

// AddServerOptions adds --server and --target-id to command, filling args.
void AddServerOptions(CLI::App* command, ServerArgs& args);

// ServerAuthority returns "host:port" of the server to call: --server, else [sec.cm.client]
// CERTIFICATE_SERVER (where the nodes send their requests), else "localhost". A host without
// port gets [zeb.http] PORT (default 15080), the port the server listens on for both http and
// TLS.
std::string ServerAuthority(const ServerArgs& args);

// ServerOptions returns the proxy's or observer's options for args.
template <class Options>
Options ServerOptions(const ServerArgs& args) {
  Options options;
  options.SetHostname(QxMoxStr::String_t(ServerAuthority(args)));
  if (!args.targetId.empty()) options.SetTargetId(QxMoxStr::String_t(args.targetId));
  return options;
}

// ServerStorePath returns where the local server keeps its database.
std::string ServerStorePath();

// OpenServerStore opens the local server's database. When create is false and there is none,
// it says so on standard error and returns null: a listing then shows nothing.
std::unique_ptr<QxCmServer::SqliteStore> OpenServerStore(bool create);

// kLocalStoreNote ends the help of the commands that work on the local server's database.
inline constexpr const char* kLocalStoreNote =
    " Works on the certificate server's database of this QX_HOME "
    "($QX_HOME/data/sec/cs/server.db), so it runs on the server's machine; nothing travels "
    "over the network.";

}  // namespace QxCm
