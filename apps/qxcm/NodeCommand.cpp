// qxcm node: ask a node's agent for its certificate status, start a certificate request, and
// have it update its trusted roots.
#include <iostream>
#include <memory>
#include <string>

#include "CertClientRpcHandler.h"
#include "CertificateClientImpl.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "InstallKey.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxmox/Net.h"
#include "qxseccm/CertificateClient.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"
#include "qxzeb/Soap.h"

namespace QxCm {
namespace {

using QxMoxStr::String_t;

struct NodeArgs {
  std::string node, coreId, installId, installKeyFile, context;
};

// StatusName is the word for a CertStatus_e value.
const char* StatusName(int status) {
  static constexpr const char* names[] = {"unknown", "none", "pending", "installed", "denied"};
  return status >= 0 && status < static_cast<int>(std::size(names)) ? names[status] : "unknown";
}

// NodeCall is one call to the node's service, through a send-only messenger. Over https the
// messaging layer presents this process's TLS identity ([sec.core] CORE_ID).
class NodeCall {
 public:
  NodeCall(const std::string& scheme, const std::string& node, const char* endpoint)
      : m_messenger(m_config, QxZebMsg::Messenger::Options().SendOnly(true).RegisterWithCb(false)),
        m_client(m_config, m_messenger),
        m_uri(String_t(scheme + "://" +
                       QxSecCm::CertificateClientImpl::ServiceAuthority(String_t(node)).ToUtf8() +
                       "/" + QxSecCm::CertClientRpcHandler::BASE_PATH + endpoint)) {}

  // Call invokes method without arguments and returns its "return" result.
  int Call(const char* method) {
    return m_client.Call(method, m_uri, QxZebRpc::RpcCall::Options(), 0, nullptr);
  }
  // Invoke invokes method with args and fills results by name.
  void Invoke(const char* method, std::initializer_list<QxZebSoap::SOAPArg*> args,
              std::initializer_list<QxZebSoap::SOAPArg*> results) {
    QxZebRpc::RpcCall call = m_client.CreateCall(m_uri);
    call.GetEnvelope().SetMethod(method);
    call.GetEnvelope().SetArgs(static_cast<int>(args.size()), std::data(args));
    call.Invoke(static_cast<int>(results.size()), std::data(results), "UTF-8");
  }

 private:
  const QxMoxConfig::Configuration_t m_config;
  QxZebMsg::Messenger m_messenger;
  QxZebRpc::RpcClient m_client;
  QxMoxNet::URI_t m_uri;
};

// CoreId is --core-id, else this machine's [sec.core] CORE_ID when the call goes to this node.
std::string CoreId(const NodeArgs& a) {
  if (!a.coreId.empty()) return a.coreId;
  if (a.node.empty()) {
    const String_t configured =
        QxMoxConfig::ConfigNamespace_t("sec.core").Open().GetValue("CORE_ID");
    if (!configured.IsNull() && !configured.IsEmpty()) return configured.ToUtf8();
  }
  QxMoxMsg::ThrowIllegalArgument(
      String_t("no core id: give --core-id ID (or set CORE_ID in [sec.core] for this node)"));
}

void Status(const NodeArgs& a) {
  const int status = QxSecCm::CertificateClientImpl::GetCertStatus(String_t(a.node));
  std::cout << status << ' ' << StatusName(status) << '\n';
  if (status == QxSecCm::CERT_STATUS_UNKNOWN) throw CLI::RuntimeError(1);
}

void Request(const NodeArgs& a) {
  String_t installId(a.installId), coreId(CoreId(a)), context(a.context);
  Secret key = a.installKeyFile.empty() ? Secret() : ReadInstallKey(a.installKeyFile);
  int result = 0;
  QxZebSoap::SOAPArgUnicodeString idArg("instid", &installId);
  QxZebSoap::SOAPArgByteArray keyArg("key", &key.bytes);
  QxZebSoap::SOAPArgUnicodeString coreIdArg("coreid", &coreId);
  QxZebSoap::SOAPArgUnicodeString contextArg("context", &context);
  QxZebSoap::SOAPArgInt ret("ret", &result);
  NodeCall("http", a.node, "/rpc2/")
      .Invoke("InitCertRequest", {&idArg, &keyArg, &coreIdArg, &contextArg}, {&ret});
  switch (result) {
    case 1:
      std::cout << "1 started: the node is sending a request for " << coreId.ToUtf8() << '\n';
      return;
    case -4:
      std::cout << "-4 refused: the node already holds a certificate for " << coreId.ToUtf8()
                << '\n';
      break;
    case -1:
      std::cout << "-1 failed: the node could not build the request (see its log)\n";
      break;
    default:
      std::cout << result << " unexpected answer\n";
  }
  throw CLI::RuntimeError(1);
}

void UpdateRoots(const NodeArgs& a) {
  const int result = NodeCall("https", a.node, "/rpc1/").Call("UpdateRootCertificates");
  std::cout << result << (result == 0 ? " updated" : " not updated (see the node's log)") << '\n';
  if (result != 0) throw CLI::RuntimeError(1);
}

// AddNodeSubcommand adds name to node with its --node option; run gets the parsed arguments.
CLI::App* AddNodeSubcommand(CLI::App* node, const std::string& name, const std::string& description,
                            const std::shared_ptr<NodeArgs>& args, void (*run)(const NodeArgs&)) {
  CLI::App* command = node->add_subcommand(name, description);
  command
      ->add_option("--node", args->node,
                   "The node's service; default: this node, localhost on [sec.cm.client] "
                   "SERVER_PORT when set")
      ->type_name("HOST:PORT");
  command->callback([args, run] { run(*args); });
  return command;
}

}  // namespace

void AddNodeCommand(CLI::App& app) {
  CLI::App* node = AddGroup(app, "node", "Talk to a node's certificate agent (qxcm-agent)",
                            "status, request or update-roots");
  auto args = std::make_shared<NodeArgs>();

  AddNodeSubcommand(
      node, "status",
      "Print the node's certificate status as '<value> <name>': 0 unknown, 1 none, 2 pending, "
      "3 installed, 4 denied. Exit status 1 when the node's service cannot be reached (or the "
      "node failed: 0 unknown)",
      args, Status);

  CLI::App* request = AddNodeSubcommand(
      node, "request",
      "Have the node request its certificate now (InitCertRequest), replacing a request in "
      "progress. Prints 1 started, -4 (a certificate for the core id is installed) or -1 "
      "(building the request failed); exit status 0 only for 1",
      args, Request);
  request
      ->add_option("--core-id", args->coreId,
                   "The node's core id; default: [sec.core] CORE_ID of this machine")
      ->type_name("ID");
  CLI::Option* installId =
      request->add_option("--install-id", args->installId, "Installation key id")->type_name("ID");
  CLI::Option* keyFile =
      request
          ->add_option("--install-key-file", args->installKeyFile,
                       "File with the installation key: 64 hexadecimal digits and a line feed")
          ->type_name("FILE");
  installId->needs(keyFile);
  keyFile->needs(installId);
  request
      ->add_option("--context", args->context,
                   "Text the certificate server receives with an installation key request")
      ->type_name("TEXT")
      ->needs(keyFile);

  AddNodeSubcommand(node, "update-roots",
                    "Have the node replace its trusted roots with the certificate server's "
                    "(UpdateRootCertificates, over TLS with this process's identity). Prints 0 "
                    "updated or 1 not updated",
                    args, UpdateRoots);
}

}  // namespace QxCm
