// qxcm requests: list the certificate server's pending requests and decide them, one by one or
// all those whose common name matches a pattern.
#include <fnmatch.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Listing.h"
#include "ServerAccess.h"
#include "qxseccm/CertificateServer.h"
#include "qxseccm/Exceptions.h"

namespace QxCm {
namespace {

using Proxy = QxSecCm::CertificateServer_ex;
using Request = Proxy::Request;
using QxMoxStr::String_t;

const char* InstallationTypeName(int type) {
  static constexpr const char* names[] = {"automatic", "manual", "installation-key", "none"};
  return type >= 0 && type < static_cast<int>(std::size(names)) ? names[type] : "unknown";
}

const std::vector<Column> kListColumns = {{"ID", "id"},
                                          {"COMMON NAME", "commonName"},
                                          {"NODE", "nodeName"},
                                          {"ADDRESS", "ipAddress"},
                                          {"RECEIVED", "received"},
                                          {"TYPE", "installationType"}};

// The record of "show": the listing's columns and the rest of the request.
std::vector<Column> RecordColumns() {
  std::vector<Column> columns = kListColumns;
  columns.insert(columns.end(), {{"RECEIVED SECONDS", "receivedSeconds"},
                                 {"PEER ADDRESS", "peerAddress"},
                                 {"CONTEXT", "context"},
                                 {"PLATFORM", "platform"}});
  return columns;
}

Row RequestRow(const Request& request, bool full) {
  Row row = {request.GetId().ToUtf8(),
             request.GetCN().ToUtf8(),
             request.GetNodename().ToUtf8(),
             request.GetIPAddress().ToUtf8(),
             UtcDate(request.GetTimeReceived()),
             std::string(InstallationTypeName(request.GetInstallationType()))};
  if (full) {
    const QxSecCm::Platform platform = request.GetPlatform();
    row.insert(row.end(), {int64_t{request.GetTimeReceived()}, request.GetPeerAddress().ToUtf8(),
                           request.GetContext().ToUtf8(),
                           "type " + std::to_string(platform.GetTypeCode()) + " version " +
                               std::to_string(platform.GetVers1()) + "." +
                               std::to_string(platform.GetVers2()) + "." +
                               std::to_string(platform.GetVers3()) + " cpu " +
                               std::to_string(platform.GetCPUTypeCode())});
  }
  return row;
}

struct ListArgs {
  ServerArgs server;
  std::string id;
  bool json = false;
};

void List(const ListArgs& a) {
  Proxy proxy(ServerOptions<Proxy::Options>(a.server));
  Proxy::Collection pending;
  proxy.GetPendingRequests(pending);
  Listing listing(kListColumns);
  for (pending.MoveFirst(); !pending.IsAtEnd(); pending.Next()) {
    listing.Add(RequestRow(pending.GetCurrent(), false));
  }
  listing.Print(std::cout, a.json);
  if (listing.IsEmpty() && !a.json) {
    std::cerr << "qxcm: no pending requests at " << ServerAuthority(a.server) << '\n';
  }
}

void Ids(const ListArgs& a) {
  Proxy proxy(ServerOptions<Proxy::Options>(a.server));
  QxSecCore::StringCollection ids;
  proxy.GetPendingRequestIds(ids);
  for (size_t i = 0; i < ids.GetCount(); ++i) std::cout << Printable(ids.GetAt(i).ToUtf8()) << '\n';
}

void Show(const ListArgs& a) {
  Proxy proxy(ServerOptions<Proxy::Options>(a.server));
  Listing listing(RecordColumns());
  listing.Add(RequestRow(proxy.GetPendingRequest(String_t(a.id)), true));
  listing.PrintRecord(std::cout, 0, a.json);
}

// Verb is one decision: its word, what is printed once done, and the call.
struct Verb {
  const char* name;
  const char* done;
  void (*apply)(Proxy& proxy, const String_t& id);
};

constexpr Verb kGrant{"grant", "granted", [](Proxy& p, const String_t& id) { p.GrantRequest(id); }};
constexpr Verb kDeny{"deny", "denied", [](Proxy& p, const String_t& id) { p.DenyRequest(id); }};
constexpr Verb kRemove{"remove", "removed",
                       [](Proxy& p, const String_t& id) { p.RemoveRequest(id); }};

struct DecideArgs {
  ServerArgs server;
  std::vector<std::string> ids;
  bool all = false;
  std::string cn;
  bool dryRun = false;
};

struct Target {
  std::string id, cn;
};

// Selected returns the pending requests whose common name matches pattern (all when empty).
std::vector<Target> Selected(Proxy& proxy, const std::string& pattern) {
  Proxy::Collection pending;
  proxy.GetPendingRequests(pending);
  std::vector<Target> targets;
  for (pending.MoveFirst(); !pending.IsAtEnd(); pending.Next()) {
    const Request request = pending.GetCurrent();
    Target target{request.GetId().ToUtf8(), request.GetCN().ToUtf8()};
    if (pattern.empty() || fnmatch(pattern.c_str(), target.cn.c_str(), 0) == 0) {
      targets.push_back(std::move(target));
    }
  }
  if (targets.empty()) {
    std::cerr << "qxcm: no pending request"
              << (pattern.empty() ? std::string() : " whose common name matches '" + pattern + "'")
              << '\n';
  }
  return targets;
}

// Decide applies verb to the ids given, or to the selected pending requests. An id the server
// does not know is reported and the others still decided; the exit status is then 1. A server
// that cannot be reached stops at once.
void Decide(const Verb& verb, const DecideArgs& a) {
  if (!a.all && a.ids.empty()) throw CLI::RequiredError("ID... or --all");
  Proxy proxy(ServerOptions<Proxy::Options>(a.server));
  // One call removes every pending request at once, with nothing left between list and removal.
  if (a.all && &verb == &kRemove && a.cn.empty() && !a.dryRun) {
    std::cout << verb.done << ' ' << proxy.RemoveAllRequests() << " request(s)\n";
    return;
  }
  std::vector<Target> targets;
  if (a.all) {
    targets = Selected(proxy, a.cn);
  } else {
    for (const std::string& id : a.ids) targets.push_back({id, ""});
  }
  int unknown = 0;
  for (const Target& target : targets) {
    const std::string shown =
        Printable(target.id) + (target.cn.empty() ? "" : " " + Printable(target.cn));
    if (a.dryRun) {
      std::cout << "would " << verb.name << ' ' << shown << '\n';
      continue;
    }
    try {
      verb.apply(proxy, String_t(target.id));
      std::cout << verb.done << ' ' << shown << '\n';
    } catch (const QxSecCm::UnknownRequestIdException& e) {
      std::cerr << "qxcm: " << e.what() << '\n';
      ++unknown;
    }
  }
  if (unknown > 0) throw CLI::RuntimeError(1);
}

CLI::App* AddListing(CLI::App* requests, const char* name, const char* description,
                     void (*run)(const ListArgs&), bool withId, bool withJson) {
  auto args = std::make_shared<ListArgs>();
  CLI::App* command = requests->add_subcommand(name, description);
  if (withId) command->add_option("ID", args->id, "The request's id")->required();
  if (withJson) command->add_flag("--json", args->json, "Print JSON instead of text");
  AddServerOptions(command, args->server);
  command->callback([args, run] { run(*args); });
  return command;
}

void AddDecision(CLI::App* requests, const Verb& verb, const std::string& description) {
  auto args = std::make_shared<DecideArgs>();
  CLI::App* command = requests->add_subcommand(verb.name, description);
  CLI::Option* ids = command->add_option("ID", args->ids, "The requests' ids");
  CLI::Option* all =
      command->add_flag("--all", args->all, "Every pending request (narrowed by --cn)");
  all->excludes(ids);
  command->add_option("--cn", args->cn, "Only the pending requests whose common name matches GLOB")
      ->type_name("GLOB")
      ->needs(all);
  command
      ->add_flag("--dry-run", args->dryRun,
                 "Print what would be decided ('would " + std::string(verb.name) +
                     " ID CN' lines) and change nothing")
      ->needs(all);
  AddServerOptions(command, args->server);
  command->callback([args, &verb] { Decide(verb, *args); });
}

}  // namespace

void AddRequestsCommand(CLI::App& app) {
  CLI::App* requests = AddGroup(
      app, "requests",
      "The certificate server's pending requests, through its administrative service over TLS: "
      "allowed from loopback, or when this QX_HOME's TLS identity ([sec.core] CORE_ID) is "
      "trusted by the server and its CN is in the server's [sec.cm.server] ADMIN_IDS",
      "list, ids, show, grant, deny or remove");
  AddListing(requests, "list",
             "List the pending requests: id, common name, node name, IP address, reception "
             "time (UTC), installation type (automatic, manual, installation-key)",
             List, false, true);
  AddListing(requests, "ids", "Print the ids of the pending requests, one per line", Ids, false,
             false);
  AddListing(requests, "show", "Print every field of the pending request ID", Show, true, true);
  AddDecision(requests, kGrant,
              "Grant requests: the server issues each node's certificate and sends it to the "
              "node. Prints 'granted ID' per request");
  AddDecision(requests, kDeny,
              "Deny requests: the server tells each node. Prints 'denied ID' per request");
  AddDecision(requests, kRemove,
              "Remove requests without a decision (the nodes are not told). Prints 'removed ID' "
              "per request; --all alone removes every pending request in one call");
}

}  // namespace QxCm
