// A records server in a process of its own: it serves RecordsService's methods under
// <base>/rpc on an ephemeral loopback port, prints its base callback address on one line, and
// serves until its standard input closes. With --use-certreq it switches the event's request
// element to "certrequest" before it serves.
#include <cstring>
#include <iostream>
#include <string>

#include "PeerMain.h"
#include "RecordsService.h"
#include "qxseccm/UseCertReq.h"

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::strcmp(argv[1], "--use-certreq") == 0) {
      QxSecCm::g_UseCertReq::SetUseCertReq();
    }
    QxMoxConfig::Configuration_t config;
    config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
    QxZebMsg::Messenger messenger(
        config, QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("records"));
    QxZebRpc::RpcServer server(config, QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
    const QxTest::RecordsService service(server);
    messenger.Register(server, true, 0);
    QxTest::ServeUntilInputCloses(messenger, server);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "qx_records_peer: " << e.what() << std::endl;
    return 1;
  }
}
