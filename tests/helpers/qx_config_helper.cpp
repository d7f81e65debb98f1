// A second process for the configuration tests: applies updates or watches a namespace.
//   qx_config_helper set NS KEY VALUE           one update, handlers notified
//   qx_config_helper apply-many NS PREFIX COUNT COUNT updates, one key each (PREFIX<i> = i)
//   qx_config_helper watch NS COUNT             prints "ready", then one line per change
//                                               ("NS KEY..." of the changed keys) until COUNT
//                                               changes arrived; exit 2 after 20 s without
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "qxmox/Config.h"
#include "qxmox/Exception.h"

namespace {

class Printer : public QxMoxConfig::ConfigChangeHandler_i {
 public:
  void ConfigChanged(const QxMoxConfig::ChangedConfiguration_t& change) override {
    std::set<std::string> keys;
    for (const auto& [key, value] : change.GetPrevious().GetAll()) keys.insert(key);
    for (const auto& [key, value] : change.GetConfiguration().GetAll()) keys.insert(key);
    std::string line = change.GetNamespace();
    for (const std::string& key : keys) {
      if (change.HasChanged(key)) line += " " + key;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    std::lock_guard lock(m_mutex);
    ++m_count;
    m_cond.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::seconds(20), [&] { return m_count >= count; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  int m_count = 0;
};

int Run(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "set" && argc == 5) {
    QxMoxConfig::ConfigUpdate_t update;
    update.SetAttr(argv[2], argv[3], argv[4]);
    update.Apply(true);
    return 0;
  }
  if (command == "apply-many" && argc == 5) {
    const int count = std::atoi(argv[4]);
    for (int i = 0; i < count; ++i) {
      QxMoxConfig::ConfigUpdate_t update;
      update.SetAttr(argv[2], std::string(argv[3]) + std::to_string(i), std::to_string(i));
      update.Apply(true);
    }
    return 0;
  }
  if (command == "watch" && argc == 4) {
    // The printer outlives the notification thread's last call: it is unregistered before
    // main returns, and the thread itself is stopped at exit.
    static Printer printer;
    QxMoxConfig::ConfigNamespace_t ns(argv[2]);
    ns.Register(&printer);
    std::printf("ready\n");
    std::fflush(stdout);
    const bool all = printer.WaitFor(std::atoi(argv[3]));
    ns.Unregister(&printer);
    return all ? 0 : 2;
  }
  std::fprintf(stderr, "usage: qx_config_helper set|apply-many|watch ...\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const QxMoxMsg::Exception_t& e) {
    std::fprintf(stderr, "qx_config_helper: %s\n", e.what());
    return 1;
  }
}
