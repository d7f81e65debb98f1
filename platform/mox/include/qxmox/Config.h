// Configuration namespaces over QX_HOME/etc/qx.conf, updates and change notification.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>
#include <string>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"

namespace QxMoxConfig {

// Configuration_t is a set of key/value pairs: a snapshot of one namespace of the file, or a
// private configuration that a caller fills with SetAttrValue and hands to an object.
class Configuration_t {
 public:
  Configuration_t() = default;
  // GetAttrValue returns the value's UTF-8 bytes; empty when unset.
  QxMoxArray::CharArray_t GetAttrValue(const QxMoxStr::String_t& key) const;
  // GetValue returns the value as text; the null string when unset.
  QxMoxStr::String_t GetValue(const QxMoxStr::String_t& key) const;
  void SetAttrValue(const QxMoxStr::String_t& key, const QxMoxStr::String_t& value);
  bool HasKey(const QxMoxStr::String_t& key) const;
  const std::map<std::string, std::string>& GetAll() const { return m_values; }

 private:
  friend class ConfigNamespace_t;
  std::map<std::string, std::string> m_values;
};

// ChangedConfiguration_t tells a handler what changed in its namespace.
class ChangedConfiguration_t {
 public:
  ChangedConfiguration_t(std::string ns, Configuration_t before, Configuration_t after);
  const std::string& GetNamespace() const { return m_namespace; }
  // HasChanged is true when the key's value differs (set, changed or removed).
  bool HasChanged(const QxMoxStr::String_t& key) const;
  const Configuration_t& GetConfiguration() const { return m_after; }
  const Configuration_t& GetPrevious() const { return m_before; }

 private:
  std::string m_namespace;
  Configuration_t m_before, m_after;
};

// ConfigChangeHandler_i is notified on the runtime's notification thread.
class ConfigChangeHandler_i {
 public:
  virtual ~ConfigChangeHandler_i() = default;
  virtual void ConfigChanged(const ChangedConfiguration_t& change) = 0;
};

// ConfigNamespace_t names one section of the configuration file ("sec.cm.client").
class ConfigNamespace_t {
 public:
  explicit ConfigNamespace_t(const QxMoxStr::String_t& name) : m_name(name.ToUtf8()) {}
  // Open reads the namespace's current values. A missing file gives an empty configuration;
  // an unreadable or malformed one throws QxMoxIo::IOException_t naming the file and line.
  Configuration_t Open() const;
  // Register attaches a handler: it is notified of changes applied in this process and of
  // changes made to the file by other processes or by hand (inotify). Unregister detaches it
  // and waits until no notification of it is running (unless called from inside one).
  void Register(ConfigChangeHandler_i* handler) const;
  void Unregister(ConfigChangeHandler_i* handler) const;
  const std::string& GetName() const { return m_name; }

 private:
  std::string m_name;
};

// ConfigUpdate_t collects changes and applies them to the file at once.
class ConfigUpdate_t {
 public:
  void SetAttr(const QxMoxStr::String_t& ns, const QxMoxStr::String_t& key,
               const QxMoxStr::String_t& value);
  void RemoveAttr(const QxMoxStr::String_t& ns, const QxMoxStr::String_t& key);
  // Apply rewrites the file atomically (temporary file, fsync, rename) under an exclusive lock
  // on etc/qx.conf.lock, keeping the other sections, keys and comments. With notify true the
  // handlers of this process are told on the notification thread. Throws
  // QxMoxIo::IOException_t when the file is malformed (it is then left untouched) or cannot
  // be written, and IllegalArgumentError_t for a namespace, key or value that the file
  // cannot carry (empty, with a newline, '=' or ']' in a key, ...).
  void Apply(bool notify);

 private:
  struct Change {
    std::string ns, key;
    bool remove;
    std::string value;
  };
  std::vector<Change> m_changes;
};

// ConfigFilePath returns QX_CONFIG when set, else QX_HOME/etc/qx.conf.
std::string ConfigFilePath();

}  // namespace QxMoxConfig
