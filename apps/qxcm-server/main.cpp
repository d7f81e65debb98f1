// qxcm-server: the certificate server. It serves nodes and administrators until told to stop.
#include <malloc.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "CertificateService.h"
#include "ServerSettings.h"
#include "Store.h"
#include "qxmox/Config.h"

namespace {

constexpr const char* kSettings =
    R"(Settings read (QX_HOME/etc/qx.conf, or the file QX_CONFIG names):
  [sec.core] CORE_ID             The server's TLS identity: its own key store entry, issued by
                                 its CA (alias CA_<CORE_ID>) on first start. Default
                                 "certificateserver"; --core-id stands for it in this process.
  [sec.core] PLATFORM_KEY_FILE   Key shared with the nodes for request messages without an
                                 installation key and for all responses.
  [zeb.http] PORT                The port of HTTP and TLS alike (default 15080); --port stands
                                 for it in this process.
  [zeb.http] LISTEN_ADDR         The address to listen on (default: all).
  [sec.cm.server] AUTO_GRANT     NONE (default): an administrator decides; INSTALL_KEY: grant
                                 at once requests enciphered with a registered installation key;
                                 ALL: grant every request at once.
  [sec.cm.server] ADMIN_IDS      Common names of client certificates (issued under a trusted
                                 root) allowed to list, decide and remove requests and to
                                 register observers, separated by commas or spaces. Callers on
                                 the loopback address are always allowed.
  [sec.cm.server] DATABASE       The server's database (default QX_HOME/data/sec/cs/server.db).
  [sec.cm.server] NOT_BEFORE_OFFSET  Seconds before issuing at which certificates become valid
                                 (default 86400).

Environment:
  QX_HOME     The server's directory (default ~/.qx): etc/qx.conf, data/keystore.db (the CA, the
              TLS identity, trusted roots), data/sec/cs/serial.dat (the last serial number
              reserved: the server takes 64 at a time), data/sec/cs/server.db.

Event types sent to observers:
)";

constexpr std::pair<int, const char*> kEventTypes[] = {
    {QxCmServer::EVENT_RECEIVED, "a new request was stored"},
    {QxCmServer::EVENT_GRANTED, "a certificate was issued for a request"},
    {QxCmServer::EVENT_DENIED, "a request was denied"},
    {QxCmServer::EVENT_REMOVED, "a request was removed without a decision"},
    {QxCmServer::EVENT_ANSWERED, "the node replied to a response"},
    {QxCmServer::EVENT_INSTALLED, "the node reported the certificate installed"},
    {QxCmServer::EVENT_SUPERSEDED, "a newer request of the same node replaced a pending one"},
    {QxCmServer::EVENT_DUPLICATE, "a request id came again with different content"},
};

std::string Footer() {
  std::string text = kSettings;
  for (const auto& [code, meaning] : kEventTypes) {
    text += "  " + std::to_string(code) + "  " + meaning + "\n";
  }
  return text +
         "\nExit status: 0 after SIGTERM or SIGINT (calls in progress finish first); 1 when the "
         "server cannot start.";
}

// WaitForStop blocks until SIGTERM or SIGINT arrives (both blocked in every thread).
void WaitForStop(const sigset_t& stopSignals) {
  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0 || (signal != SIGTERM && signal != SIGINT)) {
  }
}

// CommandLine is what the options give: values that stand for settings in this process.
struct CommandLine {
  std::optional<std::string> coreId;
  std::optional<int> port;

  void AddTo(CLI::App& app) {
    app.add_option("--core-id", coreId,
                   "The server's core id, in place of [sec.core] CORE_ID for the whole process")
        ->type_name("ID");
    app.add_option("--port", port, "The port, in place of [zeb.http] PORT for the whole process")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535));
    app.footer(Footer());
  }
};

// KeepFreedMemory has the allocator keep freed memory for reuse instead of giving it back to
// the system after every burst: each thread's heap would otherwise shrink (madvise, a TLB flush
// across cores) and grow again (page faults) with every burst of requests, several percent of
// the server's CPU time under load. The memory kept is bounded by the busiest moment's.
void KeepFreedMemory() {
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_TOP_PAD, 4 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The certificate server: takes the nodes' certificate requests, issues certificates with "
      "its CA when an administrator (or AUTO_GRANT) grants them, and serves administrators and "
      "observers, in the foreground until SIGTERM or SIGINT.",
      "qxcm-server"};
  CommandLine options;
  options.AddTo(app);
  CLI11_PARSE(app, argc, argv);

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so every thread inherits the mask.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A node or observer that drops a connection while a response is written to it must fail
  // that one send (EPIPE), not end the server.
  ::signal(SIGPIPE, SIG_IGN);
  KeepFreedMemory();

  try {
    if (options.port) {
      QxMoxConfig::SetProcessValue("zeb.http", "PORT", std::to_string(*options.port));
    }
    if (options.coreId) {
      QxMoxConfig::SetProcessValue("sec.core", "CORE_ID", QxMoxStr::String_t(*options.coreId));
    }
    QxCmServer::ServerSettings settings = QxCmServer::ServerSettings::Read();
    // The default core id must name the TLS identity and the CA alias too.
    QxMoxConfig::SetProcessValue("sec.core", "CORE_ID", QxMoxStr::String_t(settings.coreId));

    QxCmServer::CertificateService service(settings);
    std::printf("qxcm-server: listening on %s\n", service.BaseAddress().c_str());
    std::fflush(stdout);
    WaitForStop(stopSignals);
    service.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxcm-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
