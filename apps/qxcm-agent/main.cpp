// qxcm-agent: the node agent. It runs the node's certificate client until it is told to stop.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>
#include <string>

#include "CertificateClientImpl.h"
#include "qxmox/Config.h"
#include "qxseccm/CertificateClient.h"

namespace {

// Exit statuses; the ones of --wait-installed are meant for provisioning scripts.
enum Exit_e { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_NO_CORE_ID_OR_TIMEOUT = 2, EXIT_DENIED = 4 };

constexpr long kPollMs = 200;

constexpr const char* kSettings =
    R"(Settings read (QX_HOME/etc/qx.conf, or the file QX_CONFIG names):
  [sec.core] CORE_ID               The node's name: the alias of its certificate in the key store
                                   and its TLS identity. --core-id stands for it in this process.
  [sec.core] PLATFORM_KEY_FILE     Key file shared with the certificate server that enciphers its
                                   answers; unset, the built-in key is used (a warning is logged).
  [sec.cm.client] CERTIFICATE_SERVER     host:port of the certificate server.
  [sec.cm.client] CERTIFICATE_SERVER_ID  The common name the certificate server's TLS certificate
                                         must carry (trusted root updates).
  [sec.cm.client] CERTIFICATE_DEPLOYMENT_TYPE  AUTO (default): request a certificate at start when
                                   the node has none; MANUAL: wait for 'qxcm node request'.
  [sec.cm.client] MAX_RETRIES      Attempts to deliver a request before giving up.
  [sec.cm.client] RETRY_INTERVAL   Seconds between attempts.
  [sec.cm.client] SERVER_PORT      Port of the node's service (status, requests, answers); unset:
                                   the messaging layer's port.
  [zeb.http] PORT, TLS_PORT        The messaging layer's HTTP and TLS ports.
  [zeb.http] CLIENT_BIND_ADDR      Source address of the requests sent to the certificate server.

Environment:
  QX_HOME     The node's directory (default ~/.qx): etc/qx.conf, data/keystore.db (key store),
              data/sec/cc/ccstate.dat (progress of a request).
  The agent logs to the platform log, QX_HOME/log/qx.log.

Exit status: 0 after SIGTERM or SIGINT, or when the certificate is installed (--wait-installed);
1 when the client failed; 2 without a core id, or when --wait-installed ran out; 4 when the
certificate server denied the request.)";

// ResolveCoreId returns the core id of --core-id, which then stands for [sec.core] CORE_ID in
// the whole process (the TLS identity included), else the configured one; nothing when neither
// names one.
std::optional<std::string> ResolveCoreId(const std::optional<std::string>& option) {
  if (option.has_value()) {
    if (option->empty()) return std::nullopt;
    QxMoxConfig::SetProcessValue("sec.core", "CORE_ID", QxMoxStr::String_t(*option));
    return option;
  }
  const QxMoxStr::String_t configured =
      QxMoxConfig::ConfigNamespace_t("sec.core").Open().GetValue("CORE_ID");
  if (configured.IsNull() || configured.IsEmpty()) return std::nullopt;
  return configured.ToUtf8();
}

// WaitResult is the exit status --wait-installed gives for the client's status now; nothing
// while it should keep waiting.
std::optional<int> WaitResult() {
  QxSecCm::CertificateClientImpl* client = QxSecCm::CertificateClientImpl::GetInstance();
  switch (client->GetStatus()) {
    case QxSecCm::CERT_STATUS_INSTALLED:
      return EXIT_OK;
    case QxSecCm::CERT_STATUS_DENIED:
      return EXIT_DENIED;
    case QxSecCm::CERT_STATUS_UNKNOWN:
      if (client->GetState() == QxSecCm::CertificateClientImpl::STATE_FAILED) return EXIT_FAILED;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// Run waits for SIGTERM or SIGINT (blocked in every thread, taken here with sigtimedwait),
// checking the status every kPollMs when waitSeconds is set.
int Run(const sigset_t& stopSignals, std::optional<double> waitSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds.value_or(0));
  const timespec poll{0, kPollMs * 1000000};
  for (;;) {
    if (waitSeconds.has_value()) {
      if (const std::optional<int> result = WaitResult()) return *result;
      if (std::chrono::steady_clock::now() >= deadline) return EXIT_NO_CORE_ID_OR_TIMEOUT;
    }
    const int signal = sigtimedwait(&stopSignals, nullptr, waitSeconds ? &poll : nullptr);
    if (signal == SIGTERM || signal == SIGINT) return EXIT_OK;
    if (signal < 0 && errno != EAGAIN && errno != EINTR) {
      std::perror("qxcm-agent: sigtimedwait");
      return EXIT_FAILED;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The node agent: obtains the node's certificate from the certificate server, installs it "
      "with the trusted roots in the key store, keeps the request's progress across restarts, "
      "and serves the node's service (qxcm node status|request|update-roots) until SIGTERM or "
      "SIGINT.",
      "qxcm-agent"};
  std::optional<std::string> coreIdOption;
  std::optional<double> waitSeconds;
  app.add_option("--core-id", coreIdOption,
                 "The node's core id, in place of [sec.core] CORE_ID for the whole process")
      ->type_name("ID");
  app.add_option("--wait-installed", waitSeconds,
                 "Also exit by itself: 0 once the certificate is installed, 4 when denied, 1 "
                 "when the client failed, 2 when SECONDS pass first")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber);
  app.footer(kSettings);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  std::optional<std::string> coreId;
  try {
    coreId = ResolveCoreId(coreIdOption);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxcm-agent: %s\n", e.what());
    return EXIT_NO_CORE_ID_OR_TIMEOUT;
  }
  if (!coreId.has_value()) {
    std::fprintf(stderr,
                 "qxcm-agent: no core id: give --core-id ID or set CORE_ID in [sec.core] of %s\n",
                 QxMoxConfig::ConfigFilePath().c_str());
    return EXIT_NO_CORE_ID_OR_TIMEOUT;
  }

  // Blocked before any thread starts, so every thread inherits the mask and the signals wait
  // for sigtimedwait instead of ending the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // A server that drops a connection while the agent writes to it must fail that one send
  // (EPIPE), not end the agent.
  ::signal(SIGPIPE, SIG_IGN);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::fprintf(stderr, "qxcm-agent: cannot block SIGTERM and SIGINT\n");
    return EXIT_FAILED;
  }

  QxSecCm::CertificateClient::Init(QxMoxStr::String_t(*coreId));
  const int status = Run(stopSignals, waitSeconds);
  QxSecCm::CertificateClient::Stop();
  return status;
}
