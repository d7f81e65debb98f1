// KeyStore: entries, aliases as data, the file's mode, reopening and sharing between threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SecCoreFixtures.h"
#include "TestHome.h"
#include "qxmox/Exception.h"
#include "qxseccore/KeyStore.h"

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCore::AlreadyInstalledException;
using QxSecCore::Key;
using QxSecCore::KeyStore;
using QxSecCore::NoSuchEntryException;
using QxSecCore::StringCollection;
using QxSecCore::X509Certificate;

namespace {

std::vector<String_t> ToVector(StringCollection& c) {
  std::vector<String_t> items;
  for (c.MoveFirst(); !c.IsAtEnd(); c.Next()) items.push_back(c.GetCurrent());
  return items;
}

std::vector<String_t> AliasesOf(KeyStore& store) {
  StringCollection c;
  store.Aliases(c);
  return ToVector(c);
}

// The fixture's certificates and keys come from openssl: an authority and two nodes.
class KeyStoreTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    const std::string dir = home / "fixtures";
    std::filesystem::create_directories(dir);
    QxTest::OpensslCa ca(dir);
    ca.Issue("node1", "node1", "20200101000000Z", "20991231000000Z");
    ca.Issue("node2", "node2", "20200101000000Z", "20991231000000Z");
    caCert = Cert(ca.CertPath());
    node1Cert = Cert(dir + "/node1.pem");
    node1Key = PrivateKey(dir + "/node1key.pem");
    node2Cert = Cert(dir + "/node2.pem");
    node2Key = PrivateKey(dir + "/node2key.pem");
  }
  static X509Certificate Cert(const std::string& path) {
    return X509Certificate(CharArray_t(QxTest::ReadFile(path)));
  }
  static Key PrivateKey(const std::string& path) {
    return Key(Key::TYPE_RSA_PRIVATE, CharArray_t(QxTest::ReadFile(path)));
  }
  std::string DbPath() const { return home / "data/keystore.db"; }

  X509Certificate caCert, node1Cert, node2Cert;
  Key node1Key, node2Key;
};

}  // namespace

TEST_F(KeyStoreTest, InstallsQueriesAndRemovesOwnAndTrustedEntries) {
  KeyStore store;
  EXPECT_FALSE(store.IsCertEntry("node1"));
  EXPECT_TRUE(AliasesOf(store).empty());

  store.InstallCertificate("node1", node1Cert, node1Key, false, true);
  store.InstallCertificate("root", caCert, false, true);

  EXPECT_TRUE(store.IsCertEntry("node1"));
  EXPECT_TRUE(store.IsPrivateKeyEntry("node1"));
  EXPECT_FALSE(store.IsTrustedCertEntry("node1"));
  EXPECT_TRUE(store.IsCertEntry("root"));
  EXPECT_FALSE(store.IsPrivateKeyEntry("root"));
  EXPECT_TRUE(store.IsTrustedCertEntry("root"));
  EXPECT_FALSE(store.IsCertEntry("Node1"));  // aliases are case-sensitive

  EXPECT_TRUE(store.GetCertificate("node1") == node1Cert);
  EXPECT_TRUE(store.GetCertificate("root") == caCert);
  EXPECT_EQ(store.GetPrivateKey("node1").GetEncoded(), node1Key.GetEncoded());
  EXPECT_THROW(store.GetPrivateKey("root"), NoSuchEntryException);
  EXPECT_THROW(store.GetCertificate("other"), NoSuchEntryException);
  EXPECT_THROW(store.GetPrivateKey("other"), NoSuchEntryException);
  EXPECT_EQ(AliasesOf(store), (std::vector<String_t>{"node1", "root"}));

  EXPECT_TRUE(store.RemoveCertificate("node1"));
  EXPECT_FALSE(store.RemoveCertificate("node1"));
  EXPECT_FALSE(store.IsCertEntry("node1"));
  EXPECT_FALSE(store.IsPrivateKeyEntry("node1"));
  EXPECT_EQ(AliasesOf(store), (std::vector<String_t>{"root"}));
}

TEST_F(KeyStoreTest, InstallingOverAnAliasThrowsUnlessAskedToReplace) {
  KeyStore store;
  store.InstallCertificate("node", node1Cert, node1Key, false, true);
  EXPECT_THROW(store.InstallCertificate("node", node2Cert, node2Key, false, true),
               AlreadyInstalledException);
  EXPECT_THROW(store.InstallCertificate("node", caCert, false, true), AlreadyInstalledException);
  EXPECT_THROW(store.InstallCertificate("node", caCert, false, false), AlreadyInstalledException);
  try {
    store.InstallCertificate("node", caCert, false, true);
  } catch (const QxMoxMsg::RuntimeException_t& e) {  // the base callers may catch
    EXPECT_NE(std::string(e.what()).find("'node'"), std::string::npos);
  }
  EXPECT_TRUE(store.GetCertificate("node") == node1Cert);  // unchanged
  EXPECT_TRUE(store.IsPrivateKeyEntry("node"));

  store.InstallCertificate("node", node2Cert, node2Key, true, true);
  EXPECT_TRUE(store.GetCertificate("node") == node2Cert);
  EXPECT_EQ(store.GetPrivateKey("node").GetEncoded(), node2Key.GetEncoded());
  store.InstallCertificate("node", caCert, true, true);
  EXPECT_TRUE(store.IsTrustedCertEntry("node"));
  EXPECT_THROW(store.GetPrivateKey("node"), NoSuchEntryException);
  EXPECT_EQ(AliasesOf(store).size(), 1u);
}

TEST_F(KeyStoreTest, GroupAppliesAllItsChangesOrNoneAlsoWhenKilled) {
  {
    KeyStore store;
    store.InstallCertificate("taken", caCert, false, true);
    KeyStore::Group group(store);
    store.InstallCertificate("node1", node1Cert, node1Key, false, true);
    EXPECT_TRUE(store.IsPrivateKeyEntry("node1"));  // seen inside the group
    EXPECT_THROW(store.InstallCertificate("taken", node2Cert, node2Key, false, true),
                 AlreadyInstalledException);
  }  // not committed
  KeyStore store;
  EXPECT_FALSE(store.IsCertEntry("node1"));

  // A process killed inside a group leaves nothing of it behind.
  const pid_t child = fork();
  if (child == 0) {
    KeyStore inChild;
    KeyStore::Group group(inChild);
    inChild.InstallCertificate("node1", node1Cert, node1Key, false, true);
    inChild.InstallCertificate("root", caCert, false, true);
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(store.IsCertEntry("node1"));
  EXPECT_FALSE(store.IsCertEntry("root"));

  {
    KeyStore::Group group(store);
    store.InstallCertificate("node1", node1Cert, node1Key, false, true);
    store.InstallCertificate("root", caCert, false, true);
    group.Commit();
  }
  EXPECT_TRUE(KeyStore().IsPrivateKeyEntry("node1"));
  EXPECT_TRUE(KeyStore().IsTrustedCertEntry("root"));
}

TEST_F(KeyStoreTest, RefusesBadAliasesAndKeysThatDoNotFitTheCertificate) {
  KeyStore store;
  EXPECT_THROW(store.InstallCertificate("node", node1Cert, node2Key, false, true),
               QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(store.InstallCertificate("node", node1Cert, Key(String_t("pw"), 1), false, true),
               QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(store.InstallCertificate("node", X509Certificate(), false, true),
               QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(store.InstallCertificate("", caCert, false, true), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(store.IsCertEntry(String_t::Null()), QxMoxMsg::IllegalArgumentError_t);
  const char16_t loneSurrogate[] = {u'a', 0xD800, 0};
  // Control characters could make one entry pass for two in a listing.
  for (const String_t& alias :
       {String_t(loneSurrogate), String_t("a\nown"), String_t("tab\t"),
        String_t(std::u16string(u"nul\0inside", 10)), String_t("del\x7f")}) {
    SCOPED_TRACE(alias.ToUtf8());
    EXPECT_THROW(store.InstallCertificate(alias, node1Cert, node1Key, false, false),
                 QxMoxMsg::IllegalArgumentError_t);
  }
  EXPECT_TRUE(AliasesOf(store).empty());
}

TEST_F(KeyStoreTest, AliasesAreDataNeverSqlOrPaths) {
  const std::vector<String_t> aliases = {
      "it's",
      "say \"hi\"",
      "x'); DROP TABLE entries; --",
      "../../etc/passwd",
      "/absolute/path",
      "dir\\file",
      "100%_*?",
      "  spaced  ",
      "caf\xC3\xA9 \xE2\x98\xBA \xF0\x9F\x98\x80",
      "nul",
  };
  KeyStore store;
  for (const String_t& alias : aliases) {
    SCOPED_TRACE(alias.ToUtf8());
    store.InstallCertificate(alias, caCert, false, true);
  }
  for (const String_t& alias : aliases) {
    SCOPED_TRACE(alias.ToUtf8());
    EXPECT_TRUE(store.IsTrustedCertEntry(alias));
    EXPECT_TRUE(store.GetCertificate(alias) == caCert);
  }
  std::vector<String_t> listed = AliasesOf(store);
  std::vector<String_t> expected = aliases;
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  // The data directory holds the database and nothing named after an alias.
  for (const auto& entry : std::filesystem::directory_iterator(home / "data")) {
    EXPECT_EQ(entry.path().filename().string().rfind("keystore.db", 0), 0u) << entry.path();
  }
  EXPECT_FALSE(std::filesystem::exists(home / "etc/passwd"));

  for (const String_t& alias : aliases) EXPECT_TRUE(store.RemoveCertificate(alias));
  EXPECT_TRUE(AliasesOf(store).empty());
}

TEST_F(KeyStoreTest, DatabaseIsPrivateWhateverTheUmask) {
  const mode_t old = umask(0);
  {
    KeyStore store;
    store.InstallCertificate("node1", node1Cert, node1Key, false, true);
  }
  umask(old);
  struct stat st = {};
  ASSERT_EQ(stat(DbPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const auto& entry : std::filesystem::directory_iterator(home / "data")) {
    ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << entry.path();
  }

  // A database found with a wider mode is narrowed when opened.
  ASSERT_EQ(chmod(DbPath().c_str(), 0644), 0);
  KeyStore again;
  EXPECT_TRUE(again.IsPrivateKeyEntry("node1"));
  ASSERT_EQ(stat(DbPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(KeyStoreTest, PersistedEntriesSurviveReopeningSessionEntriesDoNot) {
  {
    KeyStore store;
    store.InstallCertificate("node1", node1Cert, node1Key, false, true);
    store.InstallCertificate("root", caCert, false, true);
    store.InstallCertificate("session", node2Cert, node2Key, false, false);
    EXPECT_TRUE(store.IsPrivateKeyEntry("session"));
    EXPECT_EQ(AliasesOf(store), (std::vector<String_t>{"node1", "root", "session"}));
    EXPECT_THROW(store.InstallCertificate("session", caCert, false, true),
                 AlreadyInstalledException);

    KeyStore other;  // another connection sees the persisted entries only
    EXPECT_TRUE(other.IsPrivateKeyEntry("node1"));
    EXPECT_FALSE(other.IsCertEntry("session"));
  }
  KeyStore reopened;
  EXPECT_TRUE(reopened.GetCertificate("node1") == node1Cert);
  EXPECT_EQ(reopened.GetPrivateKey("node1").GetEncoded(), node1Key.GetEncoded());
  EXPECT_TRUE(reopened.IsTrustedCertEntry("root"));
  EXPECT_FALSE(reopened.IsCertEntry("session"));
  EXPECT_EQ(AliasesOf(reopened), (std::vector<String_t>{"node1", "root"}));
}

// Failures name the file and say what failed in words, never in SQL; an emptied store is not
// silently replaced by a new one.
TEST_F(KeyStoreTest, EmptyDamagedOrNewerDatabaseIsAnIOExceptionNamingTheFile) {
  const auto failure = [this] {
    try {
      KeyStore store;
      StringCollection aliases;
      store.Aliases(aliases);
    } catch (const QxMoxIo::IOException_t& e) {
      return e.GetMessageList().First().Format().ToUtf8();
    }
    return std::string("nothing thrown");
  };
  std::filesystem::create_directories(home / "data");
  QxTest::WriteFile(DbPath(), "");
  std::string text = failure();
  EXPECT_NE(text.find(DbPath() + " is empty (0 bytes): its entries may have been lost"),
            std::string::npos)
      << text;
  EXPECT_EQ(std::filesystem::file_size(DbPath()), 0u);

  QxTest::WriteFile(DbPath(), std::string(4096, 'x'));
  text = failure();
  EXPECT_NE(text.find("Cannot read the schema version in " + DbPath() + ": file is not a database"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("PRAGMA"), std::string::npos);

  std::filesystem::remove(DbPath());
  QxTest::RunCommand("sqlite3 '" + DbPath() + "' 'PRAGMA user_version = 2'");
  EXPECT_NE(failure().find(DbPath() + " was written by a newer release"), std::string::npos);
}

// A store its owner made read-only (mode 0400) can still be listed; writing it says why not.
// Root, whom the mode would not stop, checks in a child turned into an unprivileged user.
TEST_F(KeyStoreTest, ReadOnlyStoreCanStillBeListed) {
  KeyStore().InstallCertificate("node1", node1Cert, node1Key, false, true);
  ASSERT_EQ(chmod(DbPath().c_str(), 0400), 0);
  const auto listsButCannotWrite = [this] {
    KeyStore store;
    if (AliasesOf(store) != std::vector<String_t>{"node1"}) return false;
    try {
      store.InstallCertificate("root", caCert, false, true);
    } catch (const QxMoxIo::IOException_t& e) {
      const std::string text = e.GetMessageList().First().Format().ToUtf8();
      return text.rfind("Cannot write the entry in " + DbPath() + ": attempt to write a", 0) == 0;
    }
    return false;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(listsButCannotWrite());
    return;
  }
  QxTest::RunCommand("chown -R 65534:65534 '" + home.Path() + "'");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && listsButCannotWrite() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
}

TEST_F(KeyStoreTest, OneStoreSharedByThreadsAndStoresPerThread) {
  KeyStore shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      KeyStore own;
      for (int i = 0; i < 20; ++i) {
        const String_t alias = String_t("t") + QxMoxStr::NumToStr(t) + "-" + QxMoxStr::NumToStr(i);
        KeyStore& store = (i % 2 == 0) ? shared : own;
        store.InstallCertificate(alias, caCert, false, true);
        EXPECT_TRUE(shared.IsTrustedCertEntry(alias));
        if (i % 4 == 0) {
          EXPECT_TRUE(own.RemoveCertificate(alias));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(AliasesOf(shared).size(), 4u * 15u);
}
