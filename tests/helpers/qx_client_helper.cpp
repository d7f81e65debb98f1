// qx_client_helper CORE_ID: runs the certificate client in a process of its own. Prints the
// status after Init on one line, then serves until its standard input closes, then stops.
#include <unistd.h>

#include <cstdio>

#include "CertificateClientImpl.h"
#include "qxseccm/CertificateClient.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QxSecCm::CertificateClient::Init(argv[1]);
  std::printf("%d\n", QxSecCm::CertificateClientImpl::GetInstance()->GetStatus());
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  QxSecCm::CertificateClient::Stop();
  return 0;
}
