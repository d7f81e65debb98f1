// RPC figures: round trips per second of a small call over loopback, and the cost of writing
// and reading a large argument beside expat's own pass over the same bytes.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "qxseccm/SoapArgs.h"
#include "qxzeb/QxZeb.h"

namespace {

class AddHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    int32_t a = 0, b = 0;
    QxZebSoap::SOAPArgInt aa("a", &a), ab("b", &b);
    QxZebSoap::SOAPArg* in[] = {&aa, &ab};
    call.ReadRequest(2, in);
    QxZebSoap::SOAPArgInt result("return", a + b);
    QxZebSoap::SOAPArg* out[] = {&result};
    call.CreateResponse().SetArgs(1, out);
    call.SendResponse("UTF-8");
  }
};

void BM_RpcRoundTrip(benchmark::State& state) {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
  QxZebMsg::Messenger server(config,
                             QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("b"));
  QxZebRpc::RpcServer rpc(config, QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
  AddHandler add;
  rpc.Register("Add", &add);
  server.Register(rpc, true, 0);
  QxZebMsg::Messenger tool(config, QxZebMsg::Messenger::Options().SendOnly(true));
  QxZebRpc::RpcClient client(config, tool);
  const QxMoxNet::URI_t uri(server.GetBaseCbAddress() + QxMoxStr::String_t("rpc"));
  QxZebSoap::SOAPArgInt a("a", 40), b("b", 2);
  QxZebSoap::SOAPArg* args[] = {&a, &b};
  for (auto _ : state) {
    if (client.Call("Add", uri, {}, 2, args) != 42) state.SkipWithError("wrong result");
  }
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RpcRoundTrip)->UseRealTime();

// Expat is reached through the dynamic loader: the bench measures the library that the
// messaging library itself loads, without a build dependency of its own.
struct Expat {
  using Create = void* (*)(const char*);
  using Parse = int (*)(void*, const char*, int, int);
  using Free = void (*)(void*);
  Create create;
  Parse parse;
  Free free;
  Expat() {
    void* h = dlopen("libexpat.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) h = dlopen("libexpat.so.1", RTLD_NOW);
    if (h == nullptr) throw std::runtime_error("libexpat.so.1 not found");
    create = reinterpret_cast<Create>(dlsym(h, "XML_ParserCreate"));
    parse = reinterpret_cast<Parse>(dlsym(h, "XML_Parse"));
    free = reinterpret_cast<Free>(dlsym(h, "XML_ParserFree"));
  }
};

// MeasureBesideExpat times, per iteration, write() producing a document, read(document) parsing
// it through the arguments, and expat's own pass over the same bytes, and reports the three
// times and the ratio of the parse to expat's pass.
template <class Write, class Read>
void MeasureBesideExpat(benchmark::State& state, Write write, Read read) {
  static const Expat expat;
  double writeS = 0, parseS = 0, expatS = 0;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const std::string doc = write();
    const auto t1 = Clock::now();
    read(doc);
    const auto t2 = Clock::now();
    void* p = expat.create(nullptr);
    expat.parse(p, doc.data(), static_cast<int>(doc.size()), 1);
    expat.free(p);
    const auto t3 = Clock::now();
    writeS += std::chrono::duration<double>(t1 - t0).count();
    parseS += std::chrono::duration<double>(t2 - t1).count();
    expatS += std::chrono::duration<double>(t3 - t2).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["write_ms"] = writeS / n * 1e3;
  state.counters["parse_ms"] = parseS / n * 1e3;
  state.counters["expat_ms"] = expatS / n * 1e3;
  state.counters["parse_vs_expat"] = parseS / expatS;
}

void BM_LargeArgumentVsBareExpat(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  QxMoxArray::CharArray_t bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  QxZebSoap::SOAPArgByteArray arg("k", bytes);
  QxZebSoap::SOAPArg* args[] = {&arg};
  QxZebSoap::SOAPEnvelope env;
  env.SetMethod("Put");
  env.SetArgs(1, args);
  MeasureBesideExpat(
      state, [&] { return env.Write(); },
      [](const std::string& doc) {
        QxMoxArray::CharArray_t back;
        QxZebSoap::SOAPArgByteArray in("k", &back);
        QxZebSoap::SOAPArg* ins[] = {&in};
        QxZebSoap::ReadEnvelope(doc, 1, ins);
        benchmark::DoNotOptimize(back);
      });
}
BENCHMARK(BM_LargeArgumentVsBareExpat)->Arg(64 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// A pending-request list of 10,000 records written and read back through the structured
// argument, beside expat's own pass over the same document.
void BM_RequestCollectionVsBareExpat(benchmark::State& state) {
  const QxSecCm::CertRequestCollection sent;
  for (int i = 0; i < state.range(0); ++i) {
    QxSecCm::CertRequest r;
    r->SetId(QxMoxStr::String_t("request-" + std::to_string(i)));
    r->SetCN(QxMoxStr::String_t("node" + std::to_string(i) + ".example"));
    r->SetPeerAddress("192.168.1.1");
    r->SetTimeReceived(1700000000 + i);
    sent.Add(r);
  }
  MeasureBesideExpat(
      state,
      [&] {
        QxSecCm::SOAPArgCertRequestCollection out("crcol", sent);
        QxZebSoap::SOAPArg* args[] = {&out};
        QxZebSoap::SOAPEnvelope env;
        env.SetMethod("GetPendingRequestsResponse");
        env.SetArgs(1, args);
        return env.Write();
      },
      [](const std::string& doc) {
        QxSecCm::CertRequestCollection back;
        QxSecCm::SOAPArgCertRequestCollection in("crcol", &back);
        QxZebSoap::SOAPArg* ins[] = {&in};
        QxZebSoap::ReadEnvelope(doc, 1, ins);
        benchmark::DoNotOptimize(back);
      });
}
BENCHMARK(BM_RequestCollectionVsBareExpat)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
