// Configuration namespaces over QX_HOME/etc/qx.conf, updates and change notification.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"

namespace QxMoxConfig {

// Configuration_t is a set of key/value pairs: a snapshot of one namespace of the file, or a
// private configuration that a caller fills with SetAttrValue and hands to an object. Values
// are kept as UTF-8 bytes, exactly as the file holds them. A value type: no shared state.
class Configuration_t {
 public:
  Configuration_t() = default;
  explicit Configuration_t(std::map<std::string, std::string> values)
      : m_values(std::move(values)) {}
  // GetAttrValue returns the value's UTF-8 bytes; empty when unset.
  QxMoxArray::CharArray_t GetAttrValue(const QxMoxStr::String_t& key) const;
  // GetValue returns the value as text; the null string when unset (an empty value set in the
  // file gives the empty, not the null, string).
  QxMoxStr::String_t GetValue(const QxMoxStr::String_t& key) const;
  // SetAttrValue sets key to value in this object only; a null value removes the key.
  void SetAttrValue(const QxMoxStr::String_t& key, const QxMoxStr::String_t& value);
  bool HasKey(const QxMoxStr::String_t& key) const;
  // GetAll returns every key and value (UTF-8), ordered by key. On a temporary it returns the
  // map itself, so "for (auto& kv : ns.Open().GetAll())" does not outlive its data.
  const std::map<std::string, std::string>& GetAll() const& { return m_values; }
  std::map<std::string, std::string> GetAll() && { return std::move(m_values); }

 private:
  std::map<std::string, std::string> m_values;
};

// ChangedConfiguration_t tells a handler what changed in its namespace.
class ChangedConfiguration_t {
 public:
  ChangedConfiguration_t(std::string ns, Configuration_t before, Configuration_t after);
  const std::string& GetNamespace() const { return m_namespace; }
  // HasChanged is true when the key's value differs (set, changed or removed).
  bool HasChanged(const QxMoxStr::String_t& key) const;
  // GetConfiguration returns the namespace's values after the change, GetPrevious before it.
  const Configuration_t& GetConfiguration() const { return m_after; }
  const Configuration_t& GetPrevious() const { return m_before; }

 private:
  std::string m_namespace;
  Configuration_t m_before, m_after;
};

// ConfigChangeHandler_i is notified on the runtime's notification thread, one notification at a
// time. An exception that escapes ConfigChanged is logged and otherwise ignored.
class ConfigChangeHandler_i {
 public:
  virtual ~ConfigChangeHandler_i() = default;
  virtual void ConfigChanged(const ChangedConfiguration_t& change) = 0;
};

// ConfigNamespace_t names one section of the configuration file ("sec.cm.client").
//
// The file is INI: "[namespace]" lines open a section, "KEY = value" (or "KEY: value") lines
// set a key; lines starting with ';' or '#' are comments. White space around keys and values
// is not part of them, indentation has no meaning, and ';' or '#' after a value belongs to the
// value. A line may be up to 4096 bytes long, the file up to 1 MiB.
class ConfigNamespace_t {
 public:
  explicit ConfigNamespace_t(const QxMoxStr::String_t& name) : m_name(name.ToUtf8()) {}
  // Open reads the namespace's current values from the file (each call reads the file, so it
  // sees every change made so far by any process). A missing file gives an empty
  // configuration; an unreadable or malformed one throws QxMoxIo::IOException_t naming the
  // file and line.
  Configuration_t Open() const;
  // OpenAll reads every namespace that has at least one key, like Open.
  static std::map<std::string, Configuration_t> OpenAll();
  // Register attaches a handler (the caller keeps ownership; registering it twice for one
  // namespace has no further effect): it is notified of changes applied in this process and of
  // changes made to the file by other processes or by hand (inotify on the file's directory).
  // The first registration starts the notification thread. Throws
  // QxMoxMsg::IllegalArgumentError_t for a null handler. Handlers are not inherited by a child
  // made with fork().
  void Register(ConfigChangeHandler_i* handler) const;
  // Unregister detaches the handler. When it returns, the handler is not running and will not
  // be called again for this namespace, except that called from inside a notification (on the
  // notification thread) it does not wait.
  void Unregister(ConfigChangeHandler_i* handler) const;
  const std::string& GetName() const { return m_name; }

 private:
  std::string m_name;
};

// ConfigUpdate_t collects changes and applies them to the file at once.
class ConfigUpdate_t {
 public:
  // SetAttr sets key in namespace ns to value; a null value removes the key. SetAttr and
  // RemoveAttr throw QxMoxMsg::IllegalArgumentError_t for what the file cannot carry: an empty
  // namespace or key, a line break or NUL anywhere, leading or trailing white space, ']' in a
  // namespace or any of "=:;#[]" in a key, a namespace over 49 bytes, a key over 256 bytes or a
  // value over 3072 bytes.
  void SetAttr(const QxMoxStr::String_t& ns, const QxMoxStr::String_t& key,
               const QxMoxStr::String_t& value);
  void RemoveAttr(const QxMoxStr::String_t& ns, const QxMoxStr::String_t& key);
  // Apply rewrites the file atomically (temporary file, fsync, rename, fsync of the directory)
  // under an exclusive lock on <file>.lock, keeping the other sections, keys and comments; a new
  // key goes after the last key of its section, a new section at the end of the file. It
  // creates the directory when missing; an existing file keeps its mode. With notify true the
  // handlers of this process are told on the notification thread; with false they are not
  // told of these changes. The collected changes are cleared when Apply succeeds. Throws
  // QxMoxIo::IOException_t when the file is malformed (it is then left untouched) or cannot
  // be written (the old file then stays in place).
  void Apply(bool notify);

 private:
  struct Change {
    std::string ns, key;
    bool remove;
    std::string value;
  };
  std::vector<Change> m_changes;
};

// SetProcessValue makes every ConfigNamespace_t::Open and OpenAll of this process return value
// for key in namespace ns in place of what the file holds (a program's command line option that
// stands for a setting). The file is not written and other processes do not see the value;
// change notifications keep reporting the file's values. A null value withdraws the process
// value, so the file's shows again. Throws QxMoxMsg::IllegalArgumentError_t for a namespace,
// key or value that ConfigUpdate_t::SetAttr refuses.
void SetProcessValue(const QxMoxStr::String_t& ns, const QxMoxStr::String_t& key,
                     const QxMoxStr::String_t& value);

// ConfigFilePath returns QX_CONFIG when set and not empty, else QX_HOME/etc/qx.conf.
std::string ConfigFilePath();

}  // namespace QxMoxConfig
