// The configuration store: reading, line-preserving updates, validation and change handlers.
#include "qxmox/Config.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigRecorder.h"
#include "Files.h"
#include "TestHome.h"
#include "qxmox/Exception.h"
#include "qxmox/FileCache.h"

using QxMoxConfig::ChangedConfiguration_t;
using QxMoxConfig::ConfigChangeHandler_i;
using QxMoxConfig::ConfigNamespace_t;
using QxMoxConfig::ConfigUpdate_t;
using QxMoxConfig::Configuration_t;
using QxMoxStr::String_t;

namespace {

using namespace std::chrono_literals;

using QxTest::ReadFile;
using QxTest::WriteFile;

// Hand edit the way an editor that saves by rename does.
void ReplaceByRename(const std::string& path, const std::string& text) {
  WriteFile(path + ".edit", text);
  ASSERT_EQ(rename((path + ".edit").c_str(), path.c_str()), 0);
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Set(const std::string& ns, const std::string& key, const std::string& value,
         bool notify = true) {
  ConfigUpdate_t update;
  update.SetAttr(ns, key, value);
  update.Apply(notify);
}

void RemoveAll(const std::string& ns) {
  ConfigUpdate_t update;
  for (const auto& [key, value] : ConfigNamespace_t(ns).Open().GetAll()) update.RemoveAttr(ns, key);
  update.Apply(false);
}

std::string Get(const std::string& ns, const std::string& key) {
  return ConfigNamespace_t(ns).Open().GetAttrValue(key).ToStdString();
}

using Recorder = QxTest::ConfigRecorder;

// Registration registers a handler for its lifetime.
class Registration {
 public:
  Registration(std::string ns, ConfigChangeHandler_i* handler) : m_ns(std::move(ns)), m_h(handler) {
    ConfigNamespace_t(m_ns).Register(m_h);
  }
  ~Registration() { ConfigNamespace_t(m_ns).Unregister(m_h); }

 private:
  std::string m_ns;
  ConfigChangeHandler_i* m_h;
};

class ConfigTest : public QxTest::HomeTest {
 protected:
  std::string ConfPath() const { return home / "etc/qx.conf"; }
  void WriteConf(const std::string& text) {
    mkdir((home / "etc").c_str(), 0755);
    WriteFile(ConfPath(), text);
  }
};

}  // namespace

TEST_F(ConfigTest, PathFollowsQxConfigThenQxHome) {
  EXPECT_EQ(QxMoxConfig::ConfigFilePath(), ConfPath());
  setenv("QX_CONFIG", (home / "other.ini").c_str(), 1);
  EXPECT_EQ(QxMoxConfig::ConfigFilePath(), home / "other.ini");
  Set("a", "K", "v");
  EXPECT_EQ(ReadFile(home / "other.ini"), "[a]\nK = v\n");
  EXPECT_EQ(access((home / "other.ini.lock").c_str(), F_OK), 0);
  setenv("QX_CONFIG", "", 1);
  EXPECT_EQ(QxMoxConfig::ConfigFilePath(), ConfPath());
  unsetenv("QX_CONFIG");
}

TEST_F(ConfigTest, MissingFileIsEmptyAndValuesReadBack) {
  EXPECT_TRUE(ConfigNamespace_t("sec.cm.client").Open().GetAll().empty());
  EXPECT_TRUE(ConfigNamespace_t("sec.cm.client").Open().GetValue("X").IsNull());

  ConfigUpdate_t update;
  update.SetAttr("sec.cm.client", "CERTIFICATE_SERVER", "ca.example.net:15080");
  update.SetAttr("sec.cm.client", "EMPTY", "");
  update.SetAttr("sec.cm.client", "TEXT", "caf\xC3\xA9 ; not # a=comment: [x]");
  update.SetAttr("zeb.http", "PORT", "15080");
  update.Apply(false);
  EXPECT_EQ(access((home / "etc").c_str(), F_OK), 0);

  const Configuration_t c = ConfigNamespace_t("sec.cm.client").Open();
  EXPECT_EQ(c.GetValue("CERTIFICATE_SERVER"), String_t("ca.example.net:15080"));
  EXPECT_EQ(c.GetAttrValue("CERTIFICATE_SERVER").ToStdString(), "ca.example.net:15080");
  EXPECT_TRUE(c.HasKey("EMPTY"));
  EXPECT_FALSE(c.GetValue("EMPTY").IsNull());
  EXPECT_TRUE(c.GetValue("EMPTY").IsEmpty());
  EXPECT_EQ(c.GetValue("TEXT"), String_t("caf\xC3\xA9 ; not # a=comment: [x]"));
  EXPECT_FALSE(c.HasKey("PORT"));
  EXPECT_TRUE(c.GetValue("UNSET").IsNull());
  EXPECT_TRUE(c.GetAttrValue("UNSET").IsEmpty());

  // Lines longer than the parser's default 200 bytes are read whole.
  const std::string longValue(3000, 'L');
  Set("long", "K", longValue);
  EXPECT_EQ(Get("long", "K"), longValue);
  WriteFile(ConfPath(), ReadFile(ConfPath()) + "[long]\nHAND = " + std::string(4000, 'H') + "\n");
  EXPECT_EQ(Get("long", "HAND"), std::string(4000, 'H'));
  Set("long", "K", "short");
  EXPECT_EQ(Get("long", "HAND"), std::string(4000, 'H'));
  EXPECT_EQ(Get("long", "K"), "short");
  RemoveAll("long");

  const auto all = ConfigNamespace_t::OpenAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all.at("zeb.http").GetAll().at("PORT"), "15080");

  // A null value removes, like RemoveAttr.
  ConfigUpdate_t removal;
  removal.SetAttr("zeb.http", "PORT", String_t::Null());
  removal.RemoveAttr("sec.cm.client", "EMPTY");
  removal.Apply(false);
  EXPECT_FALSE(ConfigNamespace_t("sec.cm.client").Open().HasKey("EMPTY"));
  EXPECT_EQ(ConfigNamespace_t::OpenAll().count("zeb.http"), 0u);
}

TEST_F(ConfigTest, AnOldFileIsKeptUntilChangedThroughTheLibraryOrOnDisk) {
  // A file last changed long enough ago is served from the last read without looking at it. A
  // change made through the library is seen at once; one made on disk behind the library's
  // back (in place, same size) once the recheck interval has passed.
  const auto settle = [] { std::this_thread::sleep_for(2100ms); };
  WriteConf("[a]\nK = one\n");
  settle();
  EXPECT_EQ(Get("a", "K"), "one");
  EXPECT_EQ(Get("a", "K"), "one");
  Set("a", "K", "lib", false);
  EXPECT_EQ(Get("a", "K"), "lib");

  settle();
  EXPECT_EQ(Get("a", "K"), "lib");
  {
    std::fstream in_place(ConfPath(), std::ios::in | std::ios::out);
    in_place.seekp(8);  // over "lib"
    in_place << "two";
  }
  std::this_thread::sleep_for(QxMoxIo::kFileRecheckInterval + 100ms);
  EXPECT_EQ(Get("a", "K"), "two");
}

TEST_F(ConfigTest, ProcessValueOverridesFileWithoutWritingIt) {
  WriteConf("[sec.core]\nCORE_ID = from-file\nOTHER = o\n");
  QxMoxConfig::SetProcessValue("sec.core", "CORE_ID", "n1");
  QxMoxConfig::SetProcessValue("new.ns", "K", "v");
  EXPECT_EQ(Get("sec.core", "CORE_ID"), "n1");
  EXPECT_EQ(Get("sec.core", "OTHER"), "o");
  EXPECT_EQ(QxMoxConfig::ConfigNamespace_t::OpenAll().at("new.ns").GetAll().at("K"), "v");
  // An update of the file neither writes nor loses the process value.
  Set("sec.core", "CORE_ID", "changed", false);
  EXPECT_EQ(Get("sec.core", "CORE_ID"), "n1");
  EXPECT_EQ(ReadFile(ConfPath()), "[sec.core]\nCORE_ID = changed\nOTHER = o\n");
  EXPECT_THROW(QxMoxConfig::SetProcessValue("sec.core", "BAD=KEY", "x"),
               QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(QxMoxConfig::SetProcessValue("sec.core", "K", "line\nbreak"),
               QxMoxMsg::IllegalArgumentError_t);

  QxMoxConfig::SetProcessValue("sec.core", "CORE_ID", String_t::Null());
  QxMoxConfig::SetProcessValue("new.ns", "K", String_t::Null());
  EXPECT_EQ(Get("sec.core", "CORE_ID"), "changed");
  EXPECT_EQ(QxMoxConfig::ConfigNamespace_t::OpenAll().count("new.ns"), 0u);
}

TEST_F(ConfigTest, UpdateKeepsCommentsOrderAndOtherSections) {
  WriteConf(
      "; site configuration\n"
      "# managed by hand\n"
      "\n"
      "[sec.cm.client]\n"
      "  CERTIFICATE_SERVER=old.example.net   \n"
      "MAX_RETRIES: 200\n"
      "; retries end here\n"
      "\n"
      "; the transport\n"
      "[zeb.http]\n"
      "PORT = 15080\n"
      "DROP = me\n"
      "[sec.cm.client]\n"
      "TIMEOUT = 5\n"
      "TIMEOUT = 6");  // no final newline; the parser lets the last one win
  ASSERT_EQ(Get("sec.cm.client", "TIMEOUT"), "6");

  ConfigUpdate_t update;
  update.SetAttr("sec.cm.client", "CERTIFICATE_SERVER", "ca.example.net:15080");
  update.SetAttr("sec.cm.client", "MAX_RETRIES", "300");
  update.SetAttr("zeb.http", "TLS_PORT", "15443");
  update.RemoveAttr("zeb.http", "DROP");
  update.SetAttr("sec.cm.client", "TIMEOUT", "7");
  update.SetAttr("sec.cm.client", "NEW", "n");
  update.SetAttr("sec.core", "CORE_ID", "node1");
  update.Apply(false);

  EXPECT_EQ(ReadFile(ConfPath()),
            "; site configuration\n"
            "# managed by hand\n"
            "\n"
            "[sec.cm.client]\n"
            "  CERTIFICATE_SERVER=ca.example.net:15080\n"
            "MAX_RETRIES: 300\n"
            "; retries end here\n"
            "\n"
            "; the transport\n"
            "[zeb.http]\n"
            "PORT = 15080\n"
            "TLS_PORT = 15443\n"
            "[sec.cm.client]\n"
            "TIMEOUT = 7\n"
            "NEW = n\n"
            "\n"
            "[sec.core]\n"
            "CORE_ID = node1\n");
  EXPECT_EQ(Get("sec.cm.client", "TIMEOUT"), "7");
}

TEST_F(ConfigTest, HandWrittenVariantsReadAsWritten) {
  // A byte-order mark, CRLF lines, indented keys, ';' inside values and an empty section.
  WriteConf(
      "\xEF\xBB\xBF[a]\r\n"
      "    INDENTED = yes\r\n"
      "\tURL = http://x/;y#z\r\n"
      "[empty]\r\n");
  EXPECT_EQ(Get("a", "INDENTED"), "yes");
  EXPECT_EQ(Get("a", "URL"), "http://x/;y#z");
  Set("a", "INDENTED", "no");
  Set("empty", "K", "v");
  EXPECT_EQ(ReadFile(ConfPath()),
            "\xEF\xBB\xBF[a]\r\n"
            "    INDENTED = no\r\n"
            "\tURL = http://x/;y#z\r\n"
            "[empty]\r\n"
            "K = v\r\n");
}

TEST_F(ConfigTest, MalformedFileRefusedAndUntouched) {
  struct Row {
    const char* name;
    std::string text;
    const char* line;
  } rows[] = {
      {"no closing bracket", "[a]\nK = v\n[b\nX = 1\n", "line 3"},
      {"no separator", "[a]\nK = v\njust words\n", "line 3"},
      {"NUL byte", std::string("[a]\nK = v\0w\n", 11), "line 2"},
      {"over-long line", "[a]\nK = " + std::string(5000, 'x') + "\nL = 1\n", "line 2"},
      {"over-long section name", "[" + std::string(60, 's') + "]\nK = v\n", "line 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteConf(row.text);
    try {
      ConfigNamespace_t("a").Open();
      ADD_FAILURE() << "Open accepted a malformed file";
    } catch (const QxMoxIo::IOException_t& e) {
      EXPECT_NE(std::string(e.what()).find(ConfPath()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(row.line), std::string::npos) << e.what();
    }
    ConfigUpdate_t update;
    update.SetAttr("a", "K", "new");
    EXPECT_THROW(update.Apply(true), QxMoxIo::IOException_t);
    EXPECT_EQ(ReadFile(ConfPath()), row.text);
    EXPECT_EQ(DirEntries(home / "etc"), (std::vector<std::string>{"qx.conf", "qx.conf.lock"}))
        << "a temporary file was left";
    unlink(ConfPath().c_str());
  }

  // A directory where the file should be cannot be read.
  mkdir(ConfPath().c_str(), 0755);
  EXPECT_THROW(ConfigNamespace_t("a").Open(), QxMoxIo::IOException_t);
}

TEST_F(ConfigTest, InvalidNamesAndValuesRefused) {
  struct Row {
    std::string ns, key, value;
  } rows[] = {
      {"", "K", "v"},
      {"a]b", "K", "v"},
      {"a\nb", "K", "v"},
      {" a", "K", "v"},
      {std::string(50, 'n'), "K", "v"},
      {"a", "", "v"},
      {"a", "K=1", "v"},
      {"a", "K:1", "v"},
      {"a", ";K", "v"},
      {"a", "#K", "v"},
      {"a", "[K", "v"},
      {"a", "K]", "v"},
      {"a", " K", "v"},
      {"a", "K ", "v"},
      {"a", "K\n", "v"},
      {"a", "K", "v\nX = injected"},
      {"a", "K", "v\r"},
      {"a", "K", std::string("v\0w", 3)},
      {"a", "K", " v"},
      {"a", "K", "v\t"},
      {"a", "K", std::string(4000, 'v')},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("ns='" + row.ns + "' key='" + row.key + "' value='" + row.value + "'");
    ConfigUpdate_t update;
    EXPECT_THROW(update.SetAttr(row.ns, row.key, row.value), QxMoxMsg::IllegalArgumentError_t);
    update.Apply(true);  // nothing collected, nothing written
  }
  EXPECT_THROW(ConfigUpdate_t().RemoveAttr("a", "K=1"), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_EQ(access(ConfPath().c_str(), F_OK), -1);
  EXPECT_THROW(ConfigNamespace_t("a").Register(nullptr), QxMoxMsg::IllegalArgumentError_t);
}

TEST_F(ConfigTest, ExistingModeKeptNewFileFollowsUmask) {
  const mode_t old = umask(022);
  Set("a", "K", "v");
  struct stat st {};
  ASSERT_EQ(stat(ConfPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  chmod(ConfPath().c_str(), 0600);
  Set("a", "K", "w");
  ASSERT_EQ(stat(ConfPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  umask(old);
}

TEST(ChangedConfiguration, HasChangedForAddedChangedRemoved) {
  const ChangedConfiguration_t change(
      "ns", Configuration_t({{"SAME", "1"}, {"CHANGED", "a"}, {"REMOVED", "x"}, {"EMPTIED", "e"}}),
      Configuration_t({{"SAME", "1"}, {"CHANGED", "b"}, {"ADDED", "y"}, {"EMPTIED", ""}}));
  EXPECT_FALSE(change.HasChanged("SAME"));
  EXPECT_TRUE(change.HasChanged("CHANGED"));
  EXPECT_TRUE(change.HasChanged("REMOVED"));
  EXPECT_TRUE(change.HasChanged("ADDED"));
  EXPECT_TRUE(change.HasChanged("EMPTIED"));
  EXPECT_FALSE(change.HasChanged("NEVER"));
  EXPECT_EQ(change.GetConfiguration().GetValue("CHANGED"), String_t("b"));
  EXPECT_EQ(change.GetPrevious().GetValue("CHANGED"), String_t("a"));

  Configuration_t own;
  own.SetAttrValue("K", "v");
  EXPECT_TRUE(own.HasKey("K"));
  own.SetAttrValue("K", String_t::Null());
  EXPECT_FALSE(own.HasKey("K"));
}

TEST_F(ConfigTest, OwnApplyNotifiesOnceOnlyWhenAsked) {
  Set("watched", "KEEP", "1");
  Set("watched", "DROP", "x");
  Recorder recorder, other;
  Registration reg("watched", &recorder);
  Registration reg2("elsewhere", &other);

  ConfigUpdate_t update;
  update.SetAttr("watched", "KEEP", "1");
  update.SetAttr("watched", "ADDED", "2");
  update.RemoveAttr("watched", "DROP");
  update.Apply(true);
  ASSERT_TRUE(recorder.WaitFor(1));
  const ChangedConfiguration_t change = recorder.At(0);
  EXPECT_EQ(change.GetNamespace(), "watched");
  EXPECT_FALSE(change.HasChanged("KEEP"));
  EXPECT_TRUE(change.HasChanged("ADDED"));
  EXPECT_TRUE(change.HasChanged("DROP"));
  EXPECT_EQ(change.GetConfiguration().GetValue("ADDED"), String_t("2"));

  // Without notify nobody hears of it, also not through the file watch.
  Set("watched", "QUIET", "q", false);
  // A later change is the only one reported.
  Set("watched", "LOUD", "l", true);
  ASSERT_TRUE(recorder.WaitFor(2));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder.Count(), 2u);
  EXPECT_TRUE(recorder.At(1).HasChanged("LOUD"));
  EXPECT_FALSE(recorder.At(1).HasChanged("QUIET"));
  EXPECT_EQ(other.Count(), 0u);
}

TEST_F(ConfigTest, HandEditsAreNotified) {
  WriteConf("[hand]\nA = 1\n");
  Recorder recorder;
  Registration reg("hand", &recorder);

  WriteFile(ConfPath(), "[hand]\nA = 2\n");  // in place
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_TRUE(recorder.At(0).HasChanged("A"));
  EXPECT_EQ(recorder.At(0).GetConfiguration().GetValue("A"), String_t("2"));

  ReplaceByRename(ConfPath(), "[hand]\nA = 2\nB = 3\n");  // by rename
  ASSERT_TRUE(recorder.WaitFor(2));
  EXPECT_FALSE(recorder.At(1).HasChanged("A"));
  EXPECT_TRUE(recorder.At(1).HasChanged("B"));

  // A broken edit is not reported; the fixed one is compared with the last good version.
  WriteFile(ConfPath(), "[hand\nA = 9\n");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder.Count(), 2u);
  WriteFile(ConfPath(), "[hand]\nA = 2\nB = 4\n");
  ASSERT_TRUE(recorder.WaitFor(3));
  EXPECT_FALSE(recorder.At(2).HasChanged("A"));
  EXPECT_TRUE(recorder.At(2).HasChanged("B"));

  unlink(ConfPath().c_str());
  ASSERT_TRUE(recorder.WaitFor(4));
  EXPECT_TRUE(recorder.At(3).GetConfiguration().GetAll().empty());
}

TEST_F(ConfigTest, UnregisterWaitsForRunningHandlerAndMayBeCalledInside) {
  struct Blocking : ConfigChangeHandler_i {
    std::atomic<bool> entered{false}, release{false}, returned{false};
    void ConfigChanged(const ChangedConfiguration_t&) override {
      entered = true;
      while (!release) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(50ms);
      returned = true;
    }
  } blocking;
  ConfigNamespace_t ns("block");
  ns.Register(&blocking);
  Set("block", "K", "1");
  while (!blocking.entered) std::this_thread::sleep_for(1ms);
  std::atomic<bool> unregistered{false};
  std::thread t([&] {
    ns.Unregister(&blocking);
    unregistered = true;
    EXPECT_TRUE(blocking.returned);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(unregistered);
  blocking.release = true;
  t.join();

  // A handler that unregisters itself, then one that throws: the thread carries on.
  struct SelfRemoving : ConfigChangeHandler_i {
    std::atomic<int> calls{0};
    void ConfigChanged(const ChangedConfiguration_t&) override {
      ++calls;
      ConfigNamespace_t("block").Unregister(this);
    }
  } self;
  struct Throwing : ConfigChangeHandler_i {
    void ConfigChanged(const ChangedConfiguration_t&) override { throw std::runtime_error("x"); }
  } throwing;
  Recorder after;
  ns.Register(&self);
  ns.Register(&throwing);
  ns.Register(&after);
  Set("block", "K", "2");
  ASSERT_TRUE(after.WaitFor(1));
  Set("block", "K", "3");
  ASSERT_TRUE(after.WaitFor(2));
  EXPECT_EQ(self.calls, 1);
  ns.Unregister(&throwing);
  ns.Unregister(&after);
}

TEST_F(ConfigTest, ThreadsOpenAndApplyConcurrently) {
  Recorder recorder;
  Registration reg("threads", &recorder);
  constexpr int kThreads = 4, kRounds = 20;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      try {
        for (int i = 0; i < kRounds; ++i) {
          ConfigUpdate_t update;
          update.SetAttr("threads", "T" + std::to_string(t) + "_" + std::to_string(i),
                         std::to_string(i));
          update.Apply(i % 2 == 0);
          const Configuration_t now = ConfigNamespace_t("threads").Open();
          if (!now.HasKey("T" + std::to_string(t) + "_" + std::to_string(i))) ++failures;
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ConfigNamespace_t("threads").Open().GetAll().size(),
            static_cast<size_t>(kThreads * kRounds));
  EXPECT_TRUE(recorder.WaitFor(1));
}
