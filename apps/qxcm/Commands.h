// Registration of the qxcm subcommands: each *Command.cpp adds its own to the application.
#pragma once

#include <CLI/CLI.hpp>

namespace QxCm {

// AddConfigCommand adds "config" (get, set, unset, list, path) to app.
void AddConfigCommand(CLI::App& app);

// AddCertsCommand adds "certs list" (the server's issued certificates) to app.
void AddCertsCommand(CLI::App& app);

// AddCryptoCommands adds "csr create", "ca create", "ca export", "cert sign" and "pkcs12"
// (export, import).
void AddCryptoCommands(CLI::App& app);

// AddEventsCommand adds "events" (watch, list) to app.
void AddEventsCommand(CLI::App& app);

// AddInstallKeyCommand adds "installkey" (create, list, remove) to app.
void AddInstallKeyCommand(CLI::App& app);

// AddKeystoreCommand adds "keystore" (list, export) to app.
void AddKeystoreCommand(CLI::App& app);

// AddNodeCommand adds "node" (status, request, update-roots) to app.
void AddNodeCommand(CLI::App& app);

// AddRequestsCommand adds "requests" (list, ids, show, grant, deny, remove) to app.
void AddRequestsCommand(CLI::App& app);

}  // namespace QxCm
