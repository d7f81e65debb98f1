// A throw-away QX_HOME for one test: made under /tmp, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace QxTest {

// TempHome creates a fresh directory, points QX_HOME at it (and clears QX_CONFIG) for its
// lifetime, and removes it afterwards.
class TempHome {
 public:
  TempHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qxtest-XXXXXX").string();
    char* dir = mkdtemp(tmpl.data());
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = dir;
    if (const char* old = getenv("QX_HOME")) m_old = old;
    setenv("QX_HOME", m_path.c_str(), 1);
    unsetenv("QX_CONFIG");
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
    if (m_old.empty()) {
      unsetenv("QX_HOME");
    } else {
      setenv("QX_HOME", m_old.c_str(), 1);
    }
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

 private:
  std::string m_path;
  std::string m_old;
};

// HomeTest is a fixture with a TempHome.
class HomeTest : public ::testing::Test {
 protected:
  TempHome home;
};

}  // namespace QxTest
