// Certificates and keys made by the openssl command, for tests of the security core.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Files.h"

namespace QxTest {

// Run runs a shell command and returns its standard output; the test fails when it exits
// non-zero. Standard error goes to the log so a failing openssl call explains itself.
inline std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "popen failed: " << command;
    return output;
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "command failed: " << command;
  return output;
}

// OpensslCa makes, in dir, a self-signed authority and certificates it signs with explicit
// dates (openssl ca), so tests get expired and not-yet-valid certificates from openssl itself.
class OpensslCa {
 public:
  explicit OpensslCa(std::string dir) : m_dir(std::move(dir)) {
    RunCommand("cd '" + m_dir + "' && openssl req -x509 -newkey rsa:1024 -nodes -keyout cakey.pem" +
               " -out cacert.pem -days 30 -subj '/CN=Test CA/O=Qx Test' 2>/dev/null");
    WriteFile(m_dir + "/ca.cnf",
              "[ca]\ndefault_ca = ca_section\n[ca_section]\ndatabase = index.txt\n"
              "new_certs_dir = .\nserial = serial\ndefault_md = sha256\npolicy = any\n"
              "unique_subject = no\n[any]\ncommonName = supplied\n");
    WriteFile(m_dir + "/index.txt", "");
    WriteFile(m_dir + "/serial", "1000\n");
  }
  std::string CertPath() const { return m_dir + "/cacert.pem"; }
  std::string KeyPath() const { return m_dir + "/cakey.pem"; }

  // Issue makes <name>.pem (certificate) and <name>key.pem (PKCS#8 key) for cn, valid from
  // start to end (openssl's YYYYMMDDHHMMSSZ form).
  void Issue(const std::string& name, const std::string& cn, const std::string& start,
             const std::string& end) const {
    RunCommand("cd '" + m_dir + "' && openssl req -new -newkey rsa:1024 -nodes -keyout " + name +
               "key.pem -out " + name + ".csr -subj '/CN=" + cn + "' 2>/dev/null && " +
               "openssl ca -batch -config ca.cnf -cert cacert.pem -keyfile cakey.pem -notext -in " +
               name + ".csr -out " + name + ".pem -startdate " + start + " -enddate " + end +
               " 2>/dev/null >/dev/null");
  }

 private:
  std::string m_dir;
};

}  // namespace QxTest
