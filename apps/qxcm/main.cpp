// qxcm: the administrator's and operator's command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "Commands.h"
#include "qxmox/Exception.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Administration of the certificate system: configuration, certificates, key store, nodes, "
      "the certificate server's requests, events, installation keys and issued certificates.",
      "qxcm"};
  // One command per run. Checked in the callback rather than with require_subcommand(1), so
  // that an unknown command is reported by name ("not expected: bogus") instead of as a
  // missing one.
  app.require_subcommand(0, 1);
  app.callback([&app] {
    if (app.get_subcommands().empty()) throw CLI::RequiredError("A command");
  });
  app.footer("Run 'qxcm COMMAND --help' for the options of a command.");
  QxCm::AddConfigCommand(app);
  QxCm::AddCryptoCommands(app);
  QxCm::AddKeystoreCommand(app);
  QxCm::AddNodeCommand(app);
  QxCm::AddRequestsCommand(app);
  QxCm::AddEventsCommand(app);
  QxCm::AddInstallKeyCommand(app);
  QxCm::AddCertsCommand(app);

  // Subcommands run inside parse (CLI11 callbacks), so this is the one place where a failure
  // becomes a message and an exit status.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const QxMoxMsg::Exception_t& e) {
    std::fprintf(stderr, "qxcm: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxcm: %s\n", e.what());
    return 1;
  }
  return 0;
}
