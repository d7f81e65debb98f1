// Configuration snapshots, namespaces and updates of the configuration file.
#include "qxmox/Config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "ConfigInternal.h"
#include "qxmox/Exception.h"
#include "qxmox/FileCache.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"

namespace QxMoxConfig {
namespace {

using QxMoxStr::String_t;

// FileLock holds an exclusive flock on <path>.lock while it lives. Each holder opens its own
// descriptor, so the lock keeps threads of one process apart as well as processes.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    const std::string lockPath = path + ".lock";
    m_fd = QxMoxIo::OpenFd(lockPath, O_RDWR | O_CREAT, 0644);
    if (!m_fd.Valid() && errno == EACCES) {
      // flock needs no write access: a lock file made by another user still serves.
      m_fd = QxMoxIo::OpenFd(lockPath, O_RDONLY);
    }
    if (!m_fd.Valid()) {
      QxMoxMsg::ThrowErrno(String_t("Cannot open lock file ") + String_t(lockPath), errno);
    }
    if (QxMoxIo::RetryOnEintr([&] { return flock(m_fd.Get(), LOCK_EX); }) != 0) {
      QxMoxMsg::ThrowErrno(String_t("Cannot lock ") + String_t(lockPath), errno);
    }
  }

 private:
  QxMoxIo::Fd_t m_fd;  // closing it releases the lock
};

// ProcessValues are the values set with SetProcessValue, laid over every read of the file.
struct ProcessValues {
  std::mutex mutex;
  Internal::ConfigValues values;

  static ProcessValues& Get() {
    static ProcessValues instance;
    return instance;
  }
  Internal::ConfigValues LaidOver(Internal::ConfigValues file) {
    std::lock_guard lock(mutex);
    for (const auto& [ns, section] : values) {
      for (const auto& [key, value] : section) file[ns][key] = value;
    }
    return file;
  }
  // LaidOver lays the values of namespace ns over section; false when there are none.
  bool LaidOver(const std::string& ns, Internal::SectionValues& section) {
    std::lock_guard lock(mutex);
    const auto it = values.find(ns);
    if (it == values.end()) return false;
    for (const auto& [key, value] : it->second) section[key] = value;
    return true;
  }
};

// FileValues returns the file's values. The file is read and parsed again only when it changed:
// a busy process opens its namespaces on every call, and reading and parsing the file each time
// cost more than the work around it.
std::shared_ptr<const Internal::ConfigValues> FileValues() {
  static QxMoxIo::FileCache<Internal::ConfigValues> file;
  return file.Get(ConfigFilePath(), Internal::LoadConfig);
}

}  // namespace

void SetProcessValue(const String_t& ns, const String_t& key, const String_t& value) {
  const std::string n = ns.ToUtf8(), k = key.ToUtf8();
  Internal::CheckNamespace(n);
  Internal::CheckKey(k);
  ProcessValues& process = ProcessValues::Get();
  if (value.IsNull()) {
    std::lock_guard lock(process.mutex);
    auto section = process.values.find(n);
    if (section == process.values.end()) return;
    section->second.erase(k);
    if (section->second.empty()) process.values.erase(section);
    return;
  }
  const std::string v = value.ToUtf8();
  Internal::CheckValue(v);
  std::lock_guard lock(process.mutex);
  process.values[n][k] = v;
}

QxMoxArray::CharArray_t Configuration_t::GetAttrValue(const String_t& key) const {
  auto it = m_values.find(key.ToUtf8());
  if (it == m_values.end()) return {};
  return QxMoxArray::CharArray_t(std::string_view(it->second));
}

String_t Configuration_t::GetValue(const String_t& key) const {
  auto it = m_values.find(key.ToUtf8());
  if (it == m_values.end()) return String_t::Null();
  return String_t(it->second);
}

void Configuration_t::SetAttrValue(const String_t& key, const String_t& value) {
  if (value.IsNull()) {
    m_values.erase(key.ToUtf8());
  } else {
    m_values[key.ToUtf8()] = value.ToUtf8();
  }
}

bool Configuration_t::HasKey(const String_t& key) const { return m_values.contains(key.ToUtf8()); }

ChangedConfiguration_t::ChangedConfiguration_t(std::string ns, Configuration_t before,
                                               Configuration_t after)
    : m_namespace(std::move(ns)), m_before(std::move(before)), m_after(std::move(after)) {}

bool ChangedConfiguration_t::HasChanged(const String_t& key) const {
  const std::string k = key.ToUtf8();
  const auto& before = m_before.GetAll();
  const auto& after = m_after.GetAll();
  auto b = before.find(k);
  auto a = after.find(k);
  if (b == before.end() || a == after.end()) return (b == before.end()) != (a == after.end());
  return b->second != a->second;
}

std::string ConfigFilePath() {
  if (const char* path = std::getenv("QX_CONFIG"); path != nullptr && *path != '\0') return path;
  return QxMoxRuntime::Dir_t::Home() + "/etc/qx.conf";
}

// Open copies only its own namespace out of the shared file values, then lays the process
// values of that namespace over it.
Configuration_t ConfigNamespace_t::Open() const {
  const std::shared_ptr<const Internal::ConfigValues> file = FileValues();
  Internal::SectionValues section;
  const auto it = file->find(m_name);
  if (it != file->end()) section = it->second;
  if (!ProcessValues::Get().LaidOver(m_name, section) && it == file->end()) return {};
  return Configuration_t(std::move(section));
}

std::map<std::string, Configuration_t> ConfigNamespace_t::OpenAll() {
  std::map<std::string, Configuration_t> result;
  for (auto& [ns, values] : ProcessValues::Get().LaidOver(*FileValues())) {
    result.emplace(ns, Configuration_t(std::move(values)));
  }
  return result;
}

void ConfigNamespace_t::Register(ConfigChangeHandler_i* handler) const {
  if (handler == nullptr) QxMoxMsg::ThrowIllegalArgument("Null configuration change handler");
  Internal::WatcherRegister(m_name, handler, ConfigFilePath());
}

void ConfigNamespace_t::Unregister(ConfigChangeHandler_i* handler) const {
  if (handler != nullptr) Internal::WatcherUnregister(m_name, handler);
}

void ConfigUpdate_t::SetAttr(const String_t& ns, const String_t& key, const String_t& value) {
  if (value.IsNull()) {
    RemoveAttr(ns, key);
    return;
  }
  Change change{ns.ToUtf8(), key.ToUtf8(), false, value.ToUtf8()};
  Internal::CheckNamespace(change.ns);
  Internal::CheckKey(change.key);
  Internal::CheckValue(change.value);
  m_changes.push_back(std::move(change));
}

void ConfigUpdate_t::RemoveAttr(const String_t& ns, const String_t& key) {
  Change change{ns.ToUtf8(), key.ToUtf8(), true, {}};
  Internal::CheckNamespace(change.ns);
  Internal::CheckKey(change.key);
  m_changes.push_back(std::move(change));
}

void ConfigUpdate_t::Apply(bool notify) {
  if (m_changes.empty()) return;
  std::vector<Internal::Edit> edits;
  edits.reserve(m_changes.size());
  for (const Change& c : m_changes) edits.push_back({c.ns, c.key, c.remove, c.value});

  const std::string path = ConfigFilePath();
  const std::string dir = QxMoxIo::File_t(path).GetParent();
  if (!QxMoxIo::File_t(dir).Mkdirs()) {
    QxMoxMsg::ThrowIO(String_t("Cannot create directory ") + String_t(dir));
  }
  const FileLock lock(path);
  const std::optional<Internal::FileText> file = Internal::ReadConfigFile(path);
  const std::string old = file ? file->text : std::string();
  const std::string updated = Internal::EditConfigText(old, edits, path);
  if (updated != old) {
    const std::optional<unsigned> mode = file ? std::optional<unsigned>(file->mode) : std::nullopt;
    Internal::CommitUpdate(path, edits, notify,
                           [&] { Internal::ReplaceFile(path, updated, mode); });
  }
  m_changes.clear();
}

}  // namespace QxMoxConfig
