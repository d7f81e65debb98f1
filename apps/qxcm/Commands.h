// Registration of the qxcm subcommands: each *Command.cpp adds its own to the application.
#pragma once

#include <CLI/CLI.hpp>

namespace QxCm {

// AddConfigCommand adds "config" (get, set, unset, list, path) to app.
void AddConfigCommand(CLI::App& app);

// AddCryptoCommands adds "csr create", "ca create", "cert sign" and "pkcs12" (export, import).
void AddCryptoCommands(CLI::App& app);

// AddKeystoreCommand adds "keystore" (list, export) to app.
void AddKeystoreCommand(CLI::App& app);

// AddNodeCommand adds "node" (status, request, update-roots) to app.
void AddNodeCommand(CLI::App& app);

}  // namespace QxCm
