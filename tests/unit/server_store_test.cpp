// The certificate server's SQLite store: the resend, duplicate and supersede rules, decisions
// and their responses written together, the outbox's retries, events in order, and what
// survives a reopen or a SIGKILL in the middle of a burst of grants; writes of many threads
// grouped into one transaction.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "Batcher.h"
#include "RecordSamples.h"
#include "SqliteStore.h"
#include "TestHome.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"

using namespace QxCmServer;
using QxSecCm::CertRequest;

namespace {

// RecordBytes is request n's record as the node writes it: binary, with zero bytes.
std::string RecordBytes(int n) {
  QxMoxIo::CharArrayOutputStream_t out;
  QxTest::SampleRequest<CertRequest>(n)->WriteTo(&out);
  return std::string(out.ToCharArray().View());
}

Request MakeRequest(const std::string& id, const std::string& coreId, int n) {
  Request r;
  r.id = id;
  r.installationId = "0";
  r.record = RecordBytes(n);
  r.csr = std::string("\x30\x82\x00\xff", 4) + "csr-" + id + "\xfe\x80";  // not UTF-8
  r.peerAddress = "10.0.0." + std::to_string(n);
  r.callback = "https://" + coreId + ":8443";
  r.coreId = coreId;
  r.commonName = coreId + ".example";
  r.receivedMs = 1000 + n;
  return r;
}

std::vector<int> TypesOf(const std::vector<Event>& events) {
  std::vector<int> types;
  int64_t last = 0;
  for (const Event& e : events) {
    EXPECT_GT(e.number, last) << "event numbers must increase";
    last = e.number;
    types.push_back(e.type);
  }
  return types;
}

mode_t ModeOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class ServerStoreTest : public QxTest::HomeTest {
 protected:
  std::string Path() const { return SqliteStore::DefaultPath(); }
};

}  // namespace

TEST_F(ServerStoreTest, RequestsResendDuplicateSupersedeAndRemove) {
  SqliteStore store(Path());
  const Request a = MakeRequest("req-a", "node1", 1);
  EXPECT_EQ(store.PutRequest(a).result, PutResult_e::NEW);
  const auto read = store.GetRequest("req-a");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->record, a.record);  // byte for byte, zero bytes included
  EXPECT_EQ(read->csr, a.csr);
  EXPECT_EQ(read->peerAddress, a.peerAddress);
  EXPECT_EQ(read->callback, a.callback);
  EXPECT_EQ(read->commonName, a.commonName);
  EXPECT_EQ(read->receivedMs, a.receivedMs);
  EXPECT_EQ(read->status, RequestStatus_e::PENDING);
  // The stored record reads back as the node's record.
  const CertRequest back;
  QxMoxIo::CharArrayInputStream_t in{QxMoxArray::CharArray_t(std::string_view(read->record))};
  back->ReadFrom(&in);
  EXPECT_EQ(back->GetCN(), QxTest::SampleRequest<CertRequest>(1)->GetCN());

  // A resend is the same request; other bytes under the same id are a duplicate, not stored.
  EXPECT_EQ(store.PutRequest(a).result, PutResult_e::SAME);
  Request changed = a;
  changed.csr += "x";
  EXPECT_EQ(store.PutRequest(changed).result, PutResult_e::DUPLICATE);
  EXPECT_EQ(store.GetRequest("req-a")->csr, a.csr);

  // A node's new request supersedes its pending one; another node's stays.
  EXPECT_EQ(store.PutRequest(MakeRequest("req-c", "node2", 3)).result, PutResult_e::NEW);
  const PutOutcome b = store.PutRequest(MakeRequest("req-b", "node1", 2));
  EXPECT_EQ(b.result, PutResult_e::NEW);
  EXPECT_EQ(b.superseded, std::vector<std::string>{"req-a"});
  EXPECT_EQ(store.GetRequest("req-a")->status, RequestStatus_e::SUPERSEDED);
  std::vector<std::string> pending;
  for (const Request& r : store.ListPending()) pending.push_back(r.id);
  EXPECT_EQ(pending, (std::vector<std::string>{"req-c", "req-b"}));
  EXPECT_FALSE(store.Grant("req-a", "admin", {"01", "", "pem", 0}, "resp"));  // not pending

  EXPECT_TRUE(store.Remove("req-c"));
  EXPECT_FALSE(store.Remove("req-c"));
  EXPECT_FALSE(store.Remove("unknown"));
  store.PutRequest(MakeRequest("req-d", "node3", 4));
  EXPECT_EQ(store.RemoveAll(), 2);
  EXPECT_TRUE(store.ListPending().empty());
  EXPECT_EQ(store.Waiting(), 0);  // nothing decided, nothing to answer

  EXPECT_EQ(TypesOf(store.EventsSince(0, 100)),
            (std::vector<int>{EVENT_RECEIVED, EVENT_DUPLICATE, EVENT_RECEIVED, EVENT_SUPERSEDED,
                              EVENT_RECEIVED, EVENT_REMOVED, EVENT_RECEIVED, EVENT_REMOVED,
                              EVENT_REMOVED}));
  const auto tail = store.EventsSince(store.LastEventNumber() - 2, 100);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0].requestId, "req-b");
  EXPECT_EQ(store.EventsSince(0, 2).size(), 2u);
}

TEST_F(ServerStoreTest, WritesOfManyThreadsAreGroupedAndEachGetsItsOwnOutcome) {
  SqliteStore store(Path());
  // Within one group, a resend of a request stored earlier in the group is the same request.
  Request x = MakeRequest("req-x", "node-x", 1);
  Request other = x;
  other.csr += "x";
  std::vector<PutOutcome> outcomes = store.PutRequests({x, x, other});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].result, PutResult_e::NEW);
  EXPECT_EQ(outcomes[1].result, PutResult_e::SAME);
  EXPECT_EQ(outcomes[2].result, PutResult_e::DUPLICATE);

  // Threads submitting at once are stored in fewer transactions than there are threads, and
  // each learns its own request's outcome.
  std::atomic<int> groups{0};
  std::atomic<bool> failNext{false};
  Batcher<Request, PutOutcome> puts([&](std::vector<Request>& requests) {
    ++groups;
    if (failNext.exchange(false)) throw std::runtime_error("disk full");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow commit
    return store.PutRequests(requests);
  });
  constexpr int kThreads = 16;
  std::vector<PutResult_e> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const int n = i % 8;  // two threads per request: one stores it, the other finds it
      results[i] =
          puts.Submit(MakeRequest("req-" + std::to_string(n), "node" + std::to_string(n), n + 2))
              .result;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LT(groups.load(), kThreads);
  EXPECT_EQ(std::count(results.begin(), results.end(), PutResult_e::NEW), 8);
  EXPECT_EQ(std::count(results.begin(), results.end(), PutResult_e::SAME), 8);
  EXPECT_EQ(store.PendingCount(), 9);  // req-x and the eight

  // A group that fails fails for each of its callers, and the next group runs.
  failNext = true;
  EXPECT_THROW(puts.Submit(MakeRequest("req-y", "node-y", 20)), std::runtime_error);
  EXPECT_EQ(puts.Submit(MakeRequest("req-y", "node-y", 20)).result, PutResult_e::NEW);

  // A group of grants: one per request, the one not pending changes nothing.
  const std::vector<bool> granted = store.Grant({{"req-0", "auto", {"0A", "", "pem0", 0}, "r0"},
                                                 {"req-x", "auto", {"0B", "", "pem1", 0}, "r1"},
                                                 {"nobody", "auto", {"0C", "", "pem2", 0}, "r2"}});
  EXPECT_EQ(granted, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(store.ListCertificates().size(), 2u);
  EXPECT_EQ(store.Waiting(), 2);
  // Replies and failed attempts recorded together.
  const std::vector<OutboxEntry> due = store.Due(INT64_MAX, 10);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(store.RecordAttempts({{due[0].id, 0}, {due[1].id, std::nullopt}}, 0),
            (std::vector<OutboxState_e>{OutboxState_e::DONE, OutboxState_e::RETRY}));
}

TEST_F(ServerStoreTest, DecisionsEnqueueTheirResponsesAndTheOutboxRetriesWithGrowingWaits) {
  SqliteStore::Options options;
  options.maxAttempts = 4;
  options.firstWaitMs = 1000;
  options.maxWaitMs = 3000;
  SqliteStore store(Path(), options);
  for (int n = 1; n <= 3; ++n) {
    const std::string s = std::to_string(n);
    store.PutRequest(MakeRequest("r" + s, "n" + s, n));
  }
  const std::string granted("\x01\x00granted", 9);
  ASSERT_TRUE(store.Grant("r1", "admin", {"0A", "ignored", "-----PEM-----", 5000}, granted));
  ASSERT_TRUE(store.Deny("r2", "admin", "denied"));
  EXPECT_FALSE(store.Deny("r1", "admin", "again"));
  store.Enqueue("r3", "https://elsewhere", "dup");

  const auto certs = store.ListCertificates();
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].requestId, "r1");
  EXPECT_EQ(certs[0].serial, "0A");
  EXPECT_FALSE(certs[0].delivered);
  EXPECT_EQ(store.GetRequest("r1")->status, RequestStatus_e::GRANTED);
  EXPECT_EQ(store.GetRequest("r2")->status, RequestStatus_e::DENIED);

  const int64_t now = 4'000'000'000'000;  // 2096: later than every entry's creation
  auto due = store.Due(now, 10);
  ASSERT_EQ(due.size(), 3u);
  std::map<std::string, OutboxEntry> byRequest;
  for (const auto& e : due) byRequest[e.requestId] = e;
  EXPECT_EQ(byRequest["r1"].body, granted);
  EXPECT_EQ(byRequest["r1"].destination, "https://n1:8443");
  EXPECT_EQ(byRequest["r2"].body, "denied");
  EXPECT_EQ(byRequest["r3"].destination, "https://elsewhere");
  EXPECT_EQ(store.Due(now, 2).size(), 2u);

  // r1: the node is down twice, busy once (reply 1), then takes it (reply 0).
  const int64_t id1 = byRequest["r1"].id;
  EXPECT_EQ(store.Reschedule(id1, now), OutboxState_e::RETRY);
  EXPECT_LE(store.Due(now, 0, {}).nextDueMs.value_or(INT64_MAX), now);  // r2 and r3 are due
  EXPECT_EQ(store.Due(now + 999, 10).size(), 2u);                       // r1 waits 1 s
  // A pass skips the entries in flight and learns when the next one left out is due.
  const int64_t id2 = byRequest["r2"].id;
  const DueEntries skipping = store.Due(now + 999, 10, {id2});
  ASSERT_EQ(skipping.entries.size(), 1u);
  EXPECT_EQ(skipping.entries[0].requestId, "r3");
  EXPECT_EQ(skipping.nextDueMs, now + 1000);
  EXPECT_EQ(store.Due(now + 999, 1, {}).nextDueMs, byRequest["r3"].nextAttemptMs);  // due, no room
  EXPECT_EQ(store.Reschedule(id1, now), OutboxState_e::RETRY);
  EXPECT_EQ(store.Due(now + 1999, 10).size(), 2u);  // then 2 s
  EXPECT_EQ(store.RecordReply(id1, 1, now), OutboxState_e::RETRY);
  auto again = store.Due(now + 3000, 10);  // then 3 s, the longest
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(store.RecordReply(id1, 0, now), OutboxState_e::DONE);
  EXPECT_EQ(store.RecordReply(id1, 0, now), OutboxState_e::DONE);  // answered once only
  EXPECT_TRUE(store.ListCertificates()[0].delivered);
  EXPECT_TRUE(store.MarkInstalled("r1"));
  EXPECT_FALSE(store.MarkInstalled("r1"));
  EXPECT_TRUE(store.ListCertificates()[0].installed);

  // r2: a refusal (5) is recorded and given up; r3: never reachable, given up after 4 tries.
  EXPECT_EQ(store.RecordReply(byRequest["r2"].id, 5, now), OutboxState_e::GIVEN_UP);
  const int64_t id3 = byRequest["r3"].id;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(store.Reschedule(id3, now), OutboxState_e::RETRY);
  EXPECT_EQ(store.Reschedule(id3, now), OutboxState_e::GIVEN_UP);
  EXPECT_TRUE(store.Due(now * 2, 10).empty());
  EXPECT_EQ(store.Waiting(), 0);
  EXPECT_EQ(store.Due(now * 2, 0, {}).nextDueMs, std::nullopt);

  const auto events = store.EventsSince(0, 100);
  EXPECT_EQ(TypesOf(events), (std::vector<int>{EVENT_RECEIVED, EVENT_RECEIVED, EVENT_RECEIVED,
                                               EVENT_GRANTED, EVENT_DENIED, EVENT_ANSWERED,
                                               EVENT_ANSWERED, EVENT_INSTALLED, EVENT_ANSWERED}));
  EXPECT_EQ(events[3].payload, "0A");
  EXPECT_EQ(events[5].payload, "1");
  EXPECT_EQ(events[8].payload, "5");
}

TEST_F(ServerStoreTest, ReopenKeepsEverythingInAPrivateFile) {
  const std::string key(32, '\0');
  {
    SqliteStore store(Path());
    store.PutRequest(MakeRequest("r1", "n1", 1));
    store.PutRequest(MakeRequest("r2", "n2", 2));
    store.Grant("r1", "admin", {"01", "", "pem", 7}, "resp");
    store.PutInstallKey("site-a", key);
    EXPECT_THROW(store.PutInstallKey("short", "0123"), QxMoxMsg::IllegalArgumentError_t);
    store.AddObserver("https://watcher/cb", 42);
    store.ObserverDelivered("https://watcher/cb", 3);
    EXPECT_EQ(store.ObserverFailed("https://watcher/cb"), 1);
    EXPECT_EQ(store.ObserverFailed("https://watcher/cb"), 2);
    store.AddObserver("https://other/cb", 43);
  }
  EXPECT_EQ(ModeOf(Path()), 0600u);
  EXPECT_EQ(ModeOf(QxMoxIo::File_t(Path()).GetParent()), 0700u);

  SqliteStore store(Path());
  EXPECT_EQ(store.GetRequest("r1")->status, RequestStatus_e::GRANTED);
  EXPECT_EQ(store.GetRequest("r2")->record, RecordBytes(2));
  ASSERT_EQ(store.ListCertificates().size(), 1u);
  EXPECT_EQ(store.Waiting(), 1);
  EXPECT_EQ(store.GetInstallKey("site-a"), key);
  EXPECT_EQ(store.ListInstallKeys(), std::vector<std::string>{"site-a"});
  const auto observers = store.ListObservers();
  ASSERT_EQ(observers.size(), 2u);
  EXPECT_EQ(observers[0].callback, "https://watcher/cb");
  EXPECT_EQ(observers[0].failures, 2);
  EXPECT_EQ(observers[0].lastEvent, 3);
  EXPECT_EQ(observers[1].lastEvent, 3);  // starts after the events of before its registration
  const int64_t last = store.LastEventNumber();
  EXPECT_EQ(last, 3);
  store.PutRequest(MakeRequest("r3", "n3", 3));
  EXPECT_EQ(store.EventsSince(last, 10).at(0).number, last + 1);
  EXPECT_EQ(ModeOf(Path() + "-wal"), 0600u);  // the log SQLite makes has the file's mode
  EXPECT_TRUE(store.RemoveInstallKey("site-a"));
  EXPECT_FALSE(store.GetInstallKey("site-a").has_value());
  EXPECT_TRUE(store.RemoveObserver("https://other/cb"));
  EXPECT_FALSE(store.RemoveObserver("https://other/cb"));
}

TEST_F(ServerStoreTest, NewerSchemaIsRefused) {
  { SqliteStore store(Path()); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_THROW(SqliteStore store(Path()), QxMoxIo::IOException_t);
}

// A child grants request after request and reports each grant once Grant returned; killed at a
// random moment, it leaves every reported grant, and no certificate without its response.
TEST_F(ServerStoreTest, SigkillDuringAGrantBurstKeepsEveryAcknowledgedGrant) {
  std::mt19937 random(std::random_device{}());
  std::set<std::string> acknowledged;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      try {
        SqliteStore store(Path());
        for (int i = 0;; ++i) {
          const std::string id = "r" + std::to_string(round) + "-" + std::to_string(i);
          store.PutRequest(MakeRequest(id, "node-" + id, i));
          store.Grant(id, "admin", {id, id, "pem " + id, i}, "response " + id);
          const std::string line = id + "\n";
          if (write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
        }
      } catch (...) {
      }
      _exit(1);
    }
    close(fds[1]);
    std::string text;
    char buffer[256];
    auto readSome = [&] {
      const ssize_t got = read(fds[0], buffer, sizeof buffer);
      if (got > 0) text.append(buffer, static_cast<size_t>(got));
      return got > 0;
    };
    while (std::count(text.begin(), text.end(), '\n') < 3 && readSome()) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped on its own: " << status;
    while (readSome()) {
    }
    close(fds[0]);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      acknowledged.insert(text.substr(start, end - start));
    }

    SqliteStore store(Path());
    std::set<std::string> certified;
    for (const Certificate& c : store.ListCertificates()) {
      certified.insert(c.requestId);
      EXPECT_EQ(store.GetRequest(c.requestId)->status, RequestStatus_e::GRANTED);
    }
    for (const std::string& id : acknowledged) EXPECT_EQ(certified.count(id), 1u) << id;
    std::set<std::string> answered;
    for (const OutboxEntry& e : store.Due(INT64_MAX, 1'000'000)) {
      EXPECT_EQ(e.body, "response " + e.requestId);
      answered.insert(e.requestId);
    }
    EXPECT_EQ(answered, certified);  // a certificate and its response, or neither
    int grantEvents = 0;
    for (const Event& e : store.EventsSince(0, 1'000'000)) grantEvents += e.type == EVENT_GRANTED;
    EXPECT_EQ(grantEvents, static_cast<int>(certified.size()));
    EXPECT_TRUE(store.ListPending().size() <= 1u);  // at most the one being granted
    store.RemoveAll();
  }
  EXPECT_GE(acknowledged.size(), 9u);
}
