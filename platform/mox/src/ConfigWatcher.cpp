// Change notification: the runtime's notification thread, which watches the configuration
// file's directory with inotify and calls the registered handlers.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "ConfigInternal.h"
#include "qxmox/Exception.h"
#include "qxmox/FileCache.h"
#include "qxmox/Io.h"
#include "qxmox/Log.h"

namespace QxMoxConfig::Internal {
namespace {

using QxMoxStr::String_t;

constexpr uint32_t kFileEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE;

void LogWarning(const String_t& text) {
  try {
    QxMoxLog::Log(QxMoxMsg::CreateWarn_t(text));
  } catch (...) {
    // The log is the last resort of the notification thread; nothing is left to tell.
  }
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Watcher owns the handler registry, the snapshot of the watched file and the notification
// thread. There is one per process; it is never destroyed, so the thread never sees it go.
//
// Locks: m_snapshotMutex (serialises reading the file with updating the snapshot) is taken
// before m_mutex (everything else), never the other way round, and neither is held while a
// handler runs.
class Watcher {
 public:
  static Watcher& Get() {
    static Watcher* const watcher = new Watcher;
    return *watcher;
  }

  void Register(const std::string& ns, ConfigChangeHandler_i* handler, const std::string& path) {
    std::lock_guard snapshotLock(m_snapshotMutex);
    bool repoint = false;
    {
      std::lock_guard lock(m_mutex);
      if (!m_started) Start();
      auto& list = m_handlers[ns];
      if (std::find(list.begin(), list.end(), handler) == list.end()) list.push_back(handler);
      if (path != m_path || (m_inotify.Valid() && m_watch < 0)) {
        repoint = true;
        WatchLocked(path);
      }
    }
    // The watch is in place before the snapshot is read, so no change falls between them.
    if (repoint) {
      try {
        m_snapshot = LoadConfig(path);
      } catch (const QxMoxMsg::Exception_t& e) {
        m_snapshot.clear();
        LogWarning(String_t(e.what()));
      }
    }
  }

  void Unregister(const std::string& ns, ConfigChangeHandler_i* handler) {
    std::unique_lock lock(m_mutex);
    auto it = m_handlers.find(ns);
    if (it != m_handlers.end()) {
      std::erase(it->second, handler);
      if (it->second.empty()) m_handlers.erase(it);
    }
    if (!m_started || std::this_thread::get_id() == m_threadId) return;
    m_idle.wait(lock, [&] { return m_running != handler; });
  }

  void Commit(const std::string& path, const std::vector<Edit>& edits, bool notify,
              const std::function<void()>& write) {
    bool watching = false;
    {
      std::lock_guard lock(m_mutex);
      watching = m_started && path == m_path;
    }
    if (!watching) {
      write();
      return;
    }
    if (notify) {
      write();
      RequestRescan();
      return;
    }
    std::lock_guard snapshotLock(m_snapshotMutex);
    write();
    m_snapshot = ApplyEdits(std::move(m_snapshot), edits);
  }

  // Stop ends the thread at process exit: it wakes the thread and waits a little for it; a
  // thread stuck in a handler is left to die with the process.
  void Stop() {
    std::unique_lock lock(m_mutex);
    if (!m_started || m_stopping) return;
    m_stopping = true;
    Wake();
    if (std::this_thread::get_id() == m_threadId ||
        !m_exited.wait_for(lock, std::chrono::seconds(2), [&] { return m_finished; })) {
      m_thread.detach();
      return;
    }
    lock.unlock();
    m_thread.join();
  }

 private:
  Watcher() = default;

  // Start creates the descriptors and the thread; m_mutex is held.
  void Start() {
    m_wake = QxMoxIo::Fd_t(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wake.Valid()) QxMoxMsg::ThrowErrno("Cannot create the configuration event", errno);
    m_inotify = QxMoxIo::Fd_t(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!m_inotify.Valid()) {
      // Without inotify, changes applied in this process are still notified.
      const int err = errno;
      LogWarning(String_t("Configuration changes of other processes are not watched: inotify: ") +
                 String_t(std::strerror(err)));
    }
    m_thread = std::thread([this] { Run(); });
    m_threadId = m_thread.get_id();
    m_started = true;
    static const bool once = [] {
      pthread_atfork(&Watcher::BeforeFork, &Watcher::AfterForkInParent, &Watcher::AfterForkInChild);
      return true;
    }();
    (void)once;
    // Destroyed at exit before the objects that were built before the first registration.
    static const struct ExitGuard {
      ~ExitGuard() { Watcher::Get().Stop(); }
    } exitGuard;
    (void)exitGuard;
  }

  // WatchLocked points the watch at path's directory; m_mutex is held.
  void WatchLocked(const std::string& path) {
    m_path = path;
    m_base = BaseName(path);
    if (!m_inotify.Valid()) return;
    if (m_watch >= 0) inotify_rm_watch(m_inotify.Get(), m_watch);
    const std::string dir = QxMoxIo::File_t(path).GetParent();
    QxMoxIo::File_t(dir).Mkdirs();
    m_watch = inotify_add_watch(m_inotify.Get(), dir.c_str(), kFileEvents | IN_ONLYDIR);
    if (m_watch < 0) {
      const int err = errno;
      LogWarning(String_t("Cannot watch ") + String_t(dir) + ": " + String_t(std::strerror(err)));
    }
  }

  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wake.Get(), &one, sizeof one);
  }

  void RequestRescan() {
    std::lock_guard lock(m_mutex);
    m_rescanRequested = true;
    Wake();
  }

  // ReadEvents drains the inotify queue; true when the watched file may have changed.
  bool ReadEvents() {
    alignas(inotify_event) char buffer[16384];
    bool changed = false;
    for (;;) {
      const ssize_t n =
          QxMoxIo::RetryOnEintr([&] { return read(m_inotify.Get(), buffer, sizeof buffer); });
      if (n <= 0) return changed;
      std::lock_guard lock(m_mutex);
      for (ssize_t off = 0; off < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          changed = true;
        } else if (event->wd == m_watch) {
          if (event->mask & IN_IGNORED) {
            m_watch = -1;  // the directory went away; a later Register watches it again
            changed = true;
          } else if (event->len > 0 && m_base == event->name) {
            changed = true;
          }
        }
      }
    }
  }

  void Run() {
    for (;;) {
      pollfd fds[2] = {{m_wake.Get(), POLLIN, 0}, {m_inotify.Get(), POLLIN, 0}};
      const int ready =
          QxMoxIo::RetryOnEintr([&] { return poll(fds, m_inotify.Valid() ? 2 : 1, -1); });
      if (ready < 0) {
        LogWarning(String_t("Configuration notification stopped: poll: ") +
                   String_t(std::strerror(errno)));
        break;
      }
      bool rescan = false;
      if (ready > 0 && (fds[0].revents & POLLIN)) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = read(m_wake.Get(), &count, sizeof count);
      }
      if (ready > 0 && m_inotify.Valid() && (fds[1].revents & POLLIN)) rescan = ReadEvents();
      {
        std::lock_guard lock(m_mutex);
        if (m_stopping) break;
        rescan = rescan || m_rescanRequested;
        m_rescanRequested = false;
      }
      if (rescan) Rescan();
    }
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_exited.notify_all();
  }

  // Rescan reads the file, replaces the snapshot and tells the handlers of each namespace that
  // differs. A file that cannot be read keeps the snapshot: the next good version is compared
  // with the last good one.
  void Rescan() {
    // A handler that opens its namespace must find the values it is told of.
    QxMoxIo::ForgetCachedFiles();
    std::vector<ChangedConfiguration_t> changes;
    {
      std::lock_guard snapshotLock(m_snapshotMutex);
      std::string path;
      {
        std::lock_guard lock(m_mutex);
        path = m_path;
      }
      ConfigValues now;
      try {
        now = LoadConfig(path);
      } catch (const QxMoxMsg::Exception_t& e) {
        const std::string error = e.what();
        if (error != m_lastError) LogWarning(String_t(error));
        m_lastError = error;
        return;
      }
      m_lastError.clear();
      for (const std::string& ns : ChangedNamespaces(m_snapshot, now)) {
        if (!HasHandlers(ns)) continue;
        changes.emplace_back(ns, Configuration_t(Values(m_snapshot, ns)),
                             Configuration_t(Values(now, ns)));
      }
      m_snapshot = std::move(now);
    }
    for (const ChangedConfiguration_t& change : changes) Dispatch(change);
  }

  bool HasHandlers(const std::string& ns) {
    std::lock_guard lock(m_mutex);
    return m_handlers.contains(ns);
  }

  static SectionValues Values(const ConfigValues& all, const std::string& ns) {
    auto it = all.find(ns);
    return it == all.end() ? SectionValues() : it->second;
  }

  void Dispatch(const ChangedConfiguration_t& change) {
    std::vector<ConfigChangeHandler_i*> handlers;
    {
      std::lock_guard lock(m_mutex);
      auto it = m_handlers.find(change.GetNamespace());
      if (it == m_handlers.end()) return;
      handlers = it->second;
    }
    for (ConfigChangeHandler_i* handler : handlers) {
      {
        // A handler unregistered since the copy is not called any more.
        std::lock_guard lock(m_mutex);
        auto it = m_handlers.find(change.GetNamespace());
        if (it == m_handlers.end() ||
            std::find(it->second.begin(), it->second.end(), handler) == it->second.end()) {
          continue;
        }
        m_running = handler;
      }
      Call(handler, change);
      {
        std::lock_guard lock(m_mutex);
        m_running = nullptr;
      }
      m_idle.notify_all();
    }
  }

  // Call is the guard at the top of the notification thread: nothing a handler throws may end
  // the thread.
  static void Call(ConfigChangeHandler_i* handler, const ChangedConfiguration_t& change) {
    try {
      handler->ConfigChanged(change);
    } catch (const std::exception& e) {
      LogWarning(String_t("Configuration change handler of ") + String_t(change.GetNamespace()) +
                 " failed: " + String_t(e.what()));
    } catch (...) {
      LogWarning(String_t("Configuration change handler of ") + String_t(change.GetNamespace()) +
                 " failed");
    }
  }

  // Fork: the child must not inherit locked mutexes, and has no notification thread.
  static void BeforeFork() {
    Watcher& w = Get();
    w.m_snapshotMutex.lock();
    w.m_mutex.lock();
  }
  static void AfterForkInParent() {
    Watcher& w = Get();
    w.m_mutex.unlock();
    w.m_snapshotMutex.unlock();
  }
  static void AfterForkInChild() {
    Watcher& w = Get();
    w.m_mutex.unlock();
    w.m_snapshotMutex.unlock();
    if (!w.m_started) return;
    // The thread object names a thread that does not exist here; it is parked, never joined.
    w.m_parked.push_back(std::move(w.m_thread));
    w.m_threadId = {};
    w.m_started = false;
    w.m_stopping = false;
    w.m_finished = false;
    w.m_rescanRequested = false;
    w.m_running = nullptr;
    w.m_handlers.clear();
    w.m_wake.Reset();
    w.m_inotify.Reset();
    w.m_watch = -1;
    w.m_path.clear();
    w.m_snapshot.clear();
  }

  std::mutex m_snapshotMutex;
  ConfigValues m_snapshot;  // guarded by m_snapshotMutex
  std::string m_lastError;  // guarded by m_snapshotMutex

  std::mutex m_mutex;
  std::condition_variable m_idle;    // a handler call returned
  std::condition_variable m_exited;  // the thread finished
  std::map<std::string, std::vector<ConfigChangeHandler_i*>> m_handlers;
  ConfigChangeHandler_i* m_running = nullptr;
  bool m_started = false;
  bool m_stopping = false;
  bool m_finished = false;
  bool m_rescanRequested = false;
  std::string m_path;  // the watched file
  std::string m_base;  // its name in its directory
  int m_watch = -1;
  QxMoxIo::Fd_t m_wake;     // eventfd: work queued or stop
  QxMoxIo::Fd_t m_inotify;  // read only by the thread once it runs
  std::thread m_thread;
  std::thread::id m_threadId;
  std::vector<std::thread> m_parked;  // threads of the parent, seen from a forked child
};

}  // namespace

void WatcherRegister(const std::string& ns, ConfigChangeHandler_i* handler,
                     const std::string& path) {
  Watcher::Get().Register(ns, handler, path);
}

void WatcherUnregister(const std::string& ns, ConfigChangeHandler_i* handler) {
  Watcher::Get().Unregister(ns, handler);
}

void CommitUpdate(const std::string& path, const std::vector<Edit>& edits, bool notify,
                  const std::function<void()>& write) {
  Watcher::Get().Commit(path, edits, notify, write);
}

}  // namespace QxMoxConfig::Internal
