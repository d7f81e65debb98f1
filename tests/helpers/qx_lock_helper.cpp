// Contends for a named process lock, for the cross-process lock tests.
//
//   qx_lock_helper count <name> <counter-file> <iterations>
//       Each iteration takes the lock, marks itself inside (a file created exclusively), reads
//       the decimal number in the counter file, sleeps a moment, writes the number plus one and
//       leaves. Exit 4 when another holder was found inside.
//   qx_lock_helper hold <name> <ready-file>
//       Takes the lock, creates the ready file and waits to be killed.
//
// QX_HOME comes from the environment. Exit 0 on success, 2 on bad usage, 3 on an exception.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "qxmox/Sync.h"

namespace {

long ReadCounter(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[32] = {};
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  return n > 0 ? strtol(buf, nullptr, 10) : 0;
}

bool WriteCounter(const std::string& path, long value) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string text = std::to_string(value);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

int Count(const char* name, const std::string& counter, long iterations) {
  QxMoxSync::ProcessSync_t lock(name);
  const std::string inside = counter + ".inside";
  for (long i = 0; i < iterations; ++i) {
    QxMoxSync::SyncLock_t held(lock);
    const int marker = open(inside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (marker < 0) return 4;
    close(marker);
    const long value = ReadCounter(counter);
    usleep(500);
    if (!WriteCounter(counter, value + 1)) return 3;
    unlink(inside.c_str());
  }
  return 0;
}

int Hold(const char* name, const std::string& ready) {
  QxMoxSync::ProcessSync_t lock(name);
  lock.Lock();
  if (!WriteCounter(ready, getpid())) return 3;
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && strcmp(argv[1], "count") == 0) return Count(argv[2], argv[3], atol(argv[4]));
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3]);
  } catch (const std::exception& e) {
    fprintf(stderr, "qx_lock_helper: %s\n", e.what());
    return 3;
  }
  fprintf(stderr, "usage: qx_lock_helper count <name> <file> <n> | hold <name> <ready-file>\n");
  return 2;
}
