// qxcm config: show and change the configuration file.
#include <iostream>
#include <memory>
#include <string>

#include "Commands.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"

namespace QxCm {
namespace {

struct ConfigArgs {
  std::string ns;
  std::string key;
  std::string value;
};

void PrintSection(const std::string& ns, const QxMoxConfig::Configuration_t& config) {
  std::cout << '[' << ns << "]\n";
  for (const auto& [key, value] : config.GetAll()) std::cout << key << " = " << value << '\n';
}

void AddNamespaceAndKey(CLI::App* command, ConfigArgs& args) {
  command->add_option("NAMESPACE", args.ns, "Namespace (file section), e.g. sec.cm.client")
      ->required();
  command->add_option("KEY", args.key, "Key within the namespace")->required();
}

void Get(const ConfigArgs& args) {
  const QxMoxConfig::Configuration_t config = QxMoxConfig::ConfigNamespace_t(args.ns).Open();
  const auto& values = config.GetAll();
  auto it = values.find(args.key);
  if (it == values.end()) QxMoxMsg::ThrowRuntime(args.ns + " " + args.key + " is not set");
  std::cout << it->second << '\n';
}

void Set(const ConfigArgs& args) {
  QxMoxConfig::ConfigUpdate_t update;
  update.SetAttr(args.ns, args.key, args.value);
  update.Apply(true);
  std::cout << "Set [" << args.ns << "] " << args.key << " in " << QxMoxConfig::ConfigFilePath()
            << '\n';
}

void Unset(const ConfigArgs& args) {
  QxMoxConfig::ConfigUpdate_t update;
  update.RemoveAttr(args.ns, args.key);
  update.Apply(true);
  std::cout << "Removed [" << args.ns << "] " << args.key << " from "
            << QxMoxConfig::ConfigFilePath() << '\n';
}

void List(const ConfigArgs& args) {
  if (!args.ns.empty()) {
    PrintSection(args.ns, QxMoxConfig::ConfigNamespace_t(args.ns).Open());
    return;
  }
  bool first = true;
  for (const auto& [ns, config] : QxMoxConfig::ConfigNamespace_t::OpenAll()) {
    if (!first) std::cout << '\n';
    first = false;
    PrintSection(ns, config);
  }
  // An empty listing says where it looked, so a wrong QX_HOME is noticed at once.
  if (first) std::cerr << "qxcm: no settings in " << QxMoxConfig::ConfigFilePath() << '\n';
}

}  // namespace

void AddConfigCommand(CLI::App& app) {
  auto args = std::make_shared<ConfigArgs>();
  CLI::App* config = app.add_subcommand(
      "config", "Show and change the configuration file ($QX_CONFIG, else $QX_HOME/etc/qx.conf)");
  // Not require_subcommand: an unknown word after "config" is then reported by name.
  config->require_subcommand(0, 1);
  config->callback([config] {
    if (config->get_subcommands().empty()) {
      throw CLI::RequiredError("A subcommand of config (get, set, unset, list or path)");
    }
  });

  CLI::App* get = config->add_subcommand(
      "get", "Print the value of KEY in NAMESPACE; exit status 1 when it is not set");
  AddNamespaceAndKey(get, *args);
  get->callback([args] { Get(*args); });

  CLI::App* set = config->add_subcommand(
      "set",
      "Set KEY in NAMESPACE to VALUE, keeping the rest of the file and its comments "
      "(put -- before a VALUE that starts with '-')");
  AddNamespaceAndKey(set, *args);
  set->add_option("VALUE", args->value, "New value (one line, no white space at either end)")
      ->required();
  set->callback([args] { Set(*args); });

  CLI::App* unset = config->add_subcommand(
      "unset", "Remove KEY from NAMESPACE (nothing happens when it is not set)");
  AddNamespaceAndKey(unset, *args);
  unset->callback([args] { Unset(*args); });

  CLI::App* list = config->add_subcommand(
      "list",
      "Print NAMESPACE, or every namespace, as '[namespace]' and 'KEY = value' lines, "
      "namespaces and keys sorted by name");
  list->add_option("NAMESPACE", args->ns, "Namespace to print (default: all)");
  list->callback([args] { List(*args); });

  CLI::App* path = config->add_subcommand("path", "Print the path of the configuration file");
  path->callback([] { std::cout << QxMoxConfig::ConfigFilePath() << '\n'; });
}

}  // namespace QxCm
