// PeerProcess runs a helper program that serves on an ephemeral loopback port: the program
// prints its base callback address on one line and serves until its standard input closes.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace QxTest {

class PeerProcess {
 public:
  // program is a path; args are its arguments after the program name.
  explicit PeerProcess(const std::string& program, std::vector<std::string> args = {}) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_stdin = in[1];
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') m_address += c;
    close(out[0]);
  }
  ~PeerProcess() {
    if (m_stdin >= 0) close(m_stdin);
    if (m_pid > 0) waitpid(m_pid, &m_status, 0);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Stop closes the peer's input and returns its wait status.
  int Stop() {
    close(m_stdin);
    m_stdin = -1;
    waitpid(m_pid, &m_status, 0);
    m_pid = -1;
    return m_status;
  }
  // Address is the base callback address the peer printed (empty when it printed none).
  const std::string& Address() const { return m_address; }

 private:
  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_status = -1;
  std::string m_address;
};

}  // namespace QxTest
