// qxcm events: watch the certificate server's events as they happen (an observer), or list the
// events its database keeps.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "CommandSupport.h"
#include "Commands.h"
#include "Listing.h"
#include "ServerAccess.h"
#include "Store.h"
#include "qxmox/Exception.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/Exceptions.h"
#include "qxseccm/Observer.h"

namespace QxCm {
namespace {

using QxMoxStr::String_t;

// What an event says, as both commands print it.
const std::vector<Column> kEventColumns = {{"TYPE", "type"},
                                           {"NAME", "name"},
                                           {"REQUEST", "requestId"},
                                           {"COMMON NAME", "commonName"},
                                           {"INFO", "info"}};

Row EventRow(int type, const std::string& requestId, const std::string& cn,
             const std::string& info) {
  return {int64_t{type}, std::string(QxCmServer::EventName(type)), requestId, cn, info};
}

// ---- watch ------------------------------------------------------------------------------------

// Printer prints each event as one line as it arrives, up to count events (0: no limit), and
// wakes the waiting command with SIGUSR1 after the last one.
class Printer final : public QxSecCm::CertEventUpdateHandler_ex {
 public:
  Printer(bool json, int64_t count) : m_listing(kEventColumns), m_json(json), m_count(count) {}

  void Update(const QxSecCm::CertEvent_ex& event) override {
    std::string id, cn;
    try {
      const QxSecCm::CertRequest_ex request = event.GetCertRequest();
      id = request.GetId().ToUtf8();
      cn = request.GetCN().ToUtf8();
    } catch (const QxMoxMsg::IllegalStateError_t&) {
      // An event without its request: printed with empty id and common name.
    }
    std::lock_guard lock(m_mutex);
    if (m_count > 0 && m_seen >= m_count) return;
    m_listing.PrintLine(std::cout, EventRow(event.GetType(), id, cn, event.GetInfo().ToUtf8()),
                        m_json);
    std::cout.flush();
    if (++m_seen == m_count) ::kill(::getpid(), SIGUSR1);
  }

  int64_t Seen() {
    std::lock_guard lock(m_mutex);
    return m_seen;
  }

 private:
  std::mutex m_mutex;
  const Listing m_listing;
  const bool m_json;
  const int64_t m_count;
  int64_t m_seen = 0;
};

// BlockedSignals blocks SIGINT, SIGTERM and SIGUSR1 in this thread and in every thread it
// starts afterwards (the observer's), so that Wait receives them; the old mask comes back when
// it goes.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigemptyset(&m_set);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&m_set, signal);
    pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
  }
  // ~BlockedSignals first takes the signals still pending, so that a Ctrl-C that came with the
  // last event does not kill the process once unblocked.
  ~BlockedSignals() {
    const timespec now{0, 0};
    while (sigtimedwait(&m_set, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
  }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

  // Wait returns the signal received, or 0 once timeoutSeconds passed (never when 0).
  int Wait(double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
      int signal;
      if (timeoutSeconds <= 0) {
        signal = sigwaitinfo(&m_set, nullptr);
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(deadline - Clock::now(), Clock::duration::zero()));
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        signal = sigtimedwait(&m_set, nullptr, &wait);
        if (signal < 0 && errno == EAGAIN) return 0;
      }
      if (signal > 0) return signal;
    }
  }

 private:
  sigset_t m_set, m_old;
};

struct WatchArgs {
  ServerArgs server;
  int64_t count = 0;
  double timeout = 0;
  bool json = false;
};

void Watch(const WatchArgs& a) {
  using Observer = QxSecCm::Observer_ex;
  BlockedSignals signals;
  // The printer outlives the observer, whose destruction waits for an event being handed over.
  Printer printer(a.json, a.count);
  Observer observer(ServerOptions<Observer::Options>(a.server));
  observer.RegisterUpdateHandler(&printer);
  const std::string authority = ServerAuthority(a.server);
  bool registered = false;
  try {
    registered = observer.Register();
  } catch (const QxMoxMsg::Exception_t& e) {
    throw QxSecCm::ServerNotAvailableException(e);
  }
  if (!registered) {
    QxMoxMsg::Message_t message = QxSecCm::Catalog::Warn(55);
    message.AddDetails(QxMoxMsg::CreateWarn_t(
        String_t("The server at " + authority + " did not register the observer.")));
    throw QxSecCm::ServerNotAvailableException(message);
  }
  std::cerr << "qxcm: watching the events of " << authority << '\n';
  const int signal = signals.Wait(a.timeout);
  if (!observer.Deregister()) {
    std::cerr << "qxcm: the server at " << authority
              << " did not confirm the observer's deregistration\n";
  }
  const int64_t seen = printer.Seen();
  if (signal == 0 && a.count > 0 && seen < a.count) {
    std::ostringstream text;
    text << "timed out after " << a.timeout << " s: " << seen << " of " << a.count
         << " event(s) received";
    QxMoxMsg::ThrowRuntime(String_t(text.str()));
  }
}

// ---- list -------------------------------------------------------------------------------------

struct ListArgs {
  int64_t since = 0;
  bool json = false;
};

void List(const ListArgs& a) {
  std::vector<Column> columns = {{"NUMBER", "number"}, {"TIME", "time"}};
  columns.insert(columns.end(), kEventColumns.begin(), kEventColumns.end());
  Listing listing(columns);
  if (const auto store = OpenServerStore(false)) {
    std::map<std::string, std::string> names;  // request id -> common name
    for (int64_t after = a.since;;) {
      const std::vector<QxCmServer::Event> events = store->EventsSince(after, 1000);
      if (events.empty()) break;
      for (const QxCmServer::Event& event : events) {
        auto name = names.find(event.requestId);
        if (name == names.end()) {
          const auto request = store->GetRequest(event.requestId);
          name = names.emplace(event.requestId, request ? request->commonName : "").first;
        }
        Row row = {event.number, UtcDate(event.timeMs / 1000)};
        const Row rest = EventRow(event.type, event.requestId, name->second, event.payload);
        row.insert(row.end(), rest.begin(), rest.end());
        listing.Add(std::move(row));
        after = event.number;
      }
    }
  }
  listing.Print(std::cout, a.json);
  if (listing.IsEmpty() && !a.json) std::cerr << "qxcm: no events\n";
}

}  // namespace

void AddEventsCommand(CLI::App& app) {
  std::string types;
  for (int type = QxCmServer::EVENT_RECEIVED; type <= QxCmServer::EVENT_DUPLICATE; ++type) {
    types +=
        (types.empty() ? " " : ", ") + std::to_string(type) + " " + QxCmServer::EventName(type);
  }
  CLI::App* events =
      AddGroup(app, "events", "The certificate server's events, by type:" + types, "watch or list");

  auto watchArgs = std::make_shared<WatchArgs>();
  CLI::App* watch = events->add_subcommand(
      "watch",
      "Register an observer with the certificate server and print each event as it arrives, "
      "one line: type code, its name, request id, common name, info (tab-separated). Stops "
      "after --count events, after --timeout seconds or on Ctrl-C (exit status 0; 1 when "
      "--timeout passes before --count events), and deregisters. A line on standard error "
      "says when the observer is registered");
  watch->add_option("--count", watchArgs->count, "Stop after N events")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  watch->add_option("--timeout", watchArgs->timeout, "Stop after S seconds")
      ->type_name("S")
      ->check(CLI::PositiveNumber);
  watch->add_flag("--json", watchArgs->json, "Print each event as a JSON object on one line");
  AddServerOptions(watch, watchArgs->server);
  watch->callback([watchArgs] { Watch(*watchArgs); });

  auto listArgs = std::make_shared<ListArgs>();
  CLI::App* list = events->add_subcommand(
      "list",
      std::string("List the events the server keeps, oldest first: number, time (UTC), type "
                  "code, its name, request id, common name, info.") +
          kLocalStoreNote);
  list->add_option("--since", listArgs->since, "Only the events numbered above N")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  list->add_flag("--json", listArgs->json, "Print JSON instead of text");
  list->callback([listArgs] { List(*listArgs); });
}

}  // namespace QxCm
