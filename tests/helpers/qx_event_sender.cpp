// Sends one certificate event to an observer as the certificate server does, for scripted tests
// of observers: qx_event_sender <callback uri> <type> <request id> <common name> <info>. Prints
// the observer's "result".
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "qxmox/Config.h"
#include "qxseccm/CertEvent.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <callback uri> <type> <request id> <common name> <info>\n",
                 argv[0]);
    return 2;
  }
  try {
    QxSecCm::CertEvent_ex event;
    event->SetType(static_cast<QxSecCm::CertEvent_ex::Type>(std::atoi(argv[2])));
    event->SetInfo(QxMoxStr::String_t(argv[5]));
    event.GetCertRequest()->SetId(QxMoxStr::String_t(argv[3]));
    event.GetCertRequest()->SetCN(QxMoxStr::String_t(argv[4]));

    const QxMoxConfig::Configuration_t config;
    QxZebMsg::Messenger messenger(config, QxZebMsg::Messenger::Options().SendOnly(true));
    QxZebRpc::RpcClient client(config, messenger);
    QxSecCm::SOAPArgCertEvent_ex eventArg("ce", event);
    int result = 0;
    QxZebSoap::SOAPArgInt resultArg("result", &result);
    QxZebSoap::SOAPArg* args[] = {&eventArg};
    QxZebSoap::SOAPArg* results[] = {&resultArg};
    QxZebRpc::RpcCall call = client.CreateCall(QxMoxNet::URI_t(QxMoxStr::String_t(argv[1])));
    call.GetEnvelope().SetMethod("SendUpdate");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");
    std::printf("%d\n", result);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qx_event_sender: %s\n", e.what());
    return 1;
  }
}
