// RecordsService: RPC handlers that answer with record arguments, served in a test's own process
// and by the qx_records_peer program.
//
//   GetPendingRequests / GetPendingRequests_ex: "reqids" (string collection) -> "crcol", one
//     request per id in the order asked, request n being SampleRequest(n) with the asked id.
//   EchoCertificates: "certs" (byte-array list) -> "certs" unchanged and "count".
//   EchoEvent_ex: "ce" (event of the _ex twin) -> "ce" as it was read.
#pragma once

#include "RecordSamples.h"
#include "qxseccm/CertEvent.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/QxZeb.h"

namespace QxTest {

template <class Collection, class CollectionArg>
class PendingRequestsHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    QxSecCore::StringCollection ids;
    QxSecCm::SOAPArgStringCollection in("reqids", &ids);
    QxZebSoap::SOAPArg* ins[] = {&in};
    call.ReadRequest(1, ins);
    const Collection pending;
    int n = 0;
    for (ids.MoveFirst(); !ids.IsAtEnd(); ids.Next(), ++n) {
      auto request = SampleRequest<typename Collection::Request>(n);
      request->SetId(ids.GetCurrent());
      pending.Add(request);
    }
    CollectionArg out("crcol", pending);
    QxZebSoap::SOAPArg* outs[] = {&out};
    call.CreateResponse().SetArgs(1, outs);
    call.SendResponse("UTF-8");
  }
};

class EchoCertificatesHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    QxSecCm::CharArrayList certs;
    QxSecCm::SOAPArgCharArrayList in("certs", &certs);
    QxZebSoap::SOAPArg* ins[] = {&in};
    call.ReadRequest(1, ins);
    QxSecCm::SOAPArgCharArrayList out("certs", certs);
    QxZebSoap::SOAPArgInt count("count", static_cast<int32_t>(certs.size()));
    QxZebSoap::SOAPArg* outs[] = {&out, &count};
    call.CreateResponse().SetArgs(2, outs);
    call.SendResponse("UTF-8");
  }
};

class EchoEventHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    QxSecCm::CertEvent_ex event;
    QxSecCm::SOAPArgCertEvent_ex in("ce", &event);
    QxZebSoap::SOAPArg* ins[] = {&in};
    call.ReadRequest(1, ins);
    QxSecCm::SOAPArgCertEvent_ex out("ce", event);
    QxZebSoap::SOAPArg* outs[] = {&out};
    call.CreateResponse().SetArgs(1, outs);
    call.SendResponse("UTF-8");
  }
};

// RecordsService registers the handlers above on an RPC server.
class RecordsService {
 public:
  explicit RecordsService(QxZebRpc::RpcServer& server) {
    server.Register("GetPendingRequests", &m_pending);
    server.Register("GetPendingRequests_ex", &m_pendingEx);
    server.Register("EchoCertificates", &m_certificates);
    server.Register("EchoEvent_ex", &m_event);
  }

 private:
  PendingRequestsHandler<QxSecCm::CertRequestCollection, QxSecCm::SOAPArgCertRequestCollection>
      m_pending;
  PendingRequestsHandler<QxSecCm::CertRequestCollection_ex,
                         QxSecCm::SOAPArgCertRequestCollection_ex>
      m_pendingEx;
  EchoCertificatesHandler m_certificates;
  EchoEventHandler m_event;
};

}  // namespace QxTest
