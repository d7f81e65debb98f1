// Issuing certificates: CertificateBuilder against the plain OpenSSL call sequence it replaces,
// both with the durable serial-number step, plus RSA key pair generation.
//
// QX_HOME for the serial file is QX_BENCH_HOME when set, else a fresh directory under TMPDIR
// (default /tmp), removed afterwards. The disk's flush dominates both issuing paths on a disk
// that really flushes; the figures printed at the end name the file system used.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/Runtime.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace {

using QxMoxArray::CharArray_t;
namespace Ssl = QxSecCore::Ssl;

constexpr const char* kLockName = "7d41c0e6-2a9f-4b18-8c35-91e0d6a4b2f7";

struct Setup {
  std::string home;
  bool ownHome = false;
  QxSecCore::X509Certificate caCert;
  QxSecCore::Key caKey;
  CharArray_t csr;
  Ssl::X509Ptr caX509;  // the plain loop's CA, parsed once like the builder's
  Ssl::EvpPkeyPtr caPkey;
};

Setup& Shared() {
  static Setup setup = [] {
    Setup s;
    if (const char* given = getenv("QX_BENCH_HOME")) {
      s.home = given;
    } else {
      const char* tmp = getenv("TMPDIR");
      std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/qx-issue-bench-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) std::abort();
      s.home = pattern;
      s.ownHome = true;
    }
    setenv("QX_HOME", s.home.c_str(), 1);
    unsetenv("QX_CONFIG");
    QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("Bench CA", "Lab", true, s.caCert,
                                                             s.caKey);
    QxSecCm::X509CertRequest request("bench-node", "Lab");
    request.GetEncoded(s.csr);
    const CharArray_t caPem = s.caCert.GetEncoded();
    const Ssl::BioPtr certBio(BIO_new_mem_buf(caPem.GetData(), static_cast<int>(caPem.GetSize())));
    s.caX509.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    const CharArray_t keyPem = s.caKey.GetEncoded();
    const Ssl::BioPtr keyBio(BIO_new_mem_buf(keyPem.GetData(), static_cast<int>(keyPem.GetSize())));
    s.caPkey.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return s;
  }();
  return setup;
}

// DrawSerial is the serial-number step as the plain sequence does it: the named lock's file
// locked, the directory checked, the file opened, read, rewritten from offset 0 and flushed to
// disk, closed, unlocked.
uint32_t DrawSerial() {
  const std::string run = Shared().home + "/run";
  const std::string dir = QxMoxRuntime::Dir_t::Path(7, "sec/cs/").ToUtf8();
  const std::string path = QxMoxRuntime::Dir_t::Path(7, "sec/cs/serial.dat").ToUtf8();
  static const bool made = [&] {
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(dir);
    return true;
  }();
  (void)made;
  const int lock = open((run + "/" + kLockName + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
  flock(lock, LOCK_EX);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) std::abort();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  unsigned char bytes[4] = {};
  uint32_t serial = 0;
  if (read(fd, bytes, 4) == 4) {
    serial = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }
  ++serial;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(serial >> (8 * i));
  lseek(fd, 0, SEEK_SET);
  if (write(fd, bytes, 4) != 4 || fdatasync(fd) != 0) std::abort();
  close(fd);
  flock(lock, LOCK_UN);
  close(lock);
  return serial;
}

// ExactSequence issues one certificate with the call sequence of the issuing description:
// the request's key decoded (X509_REQ_get_pubkey) and encoded again (X509_set_pubkey).
int ExactSequence(const CharArray_t& csr, CharArray_t& out) {
  const Setup& s = Shared();
  const Ssl::BioPtr in(BIO_new_mem_buf(csr.GetData(), static_cast<int>(csr.GetSize())));
  const Ssl::X509ReqPtr req(PEM_read_bio_X509_REQ(in.get(), nullptr, nullptr, nullptr));
  const Ssl::EvpPkeyPtr key(X509_REQ_get_pubkey(req.get()));
  if (X509_REQ_verify(req.get(), key.get()) != 1) std::abort();
  const Ssl::X509Ptr cert(X509_new());
  const uint32_t serial = DrawSerial();
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(serial));
  X509_set_subject_name(cert.get(), X509_REQ_get_subject_name(req.get()));
  X509_set_issuer_name(cert.get(), X509_get_subject_name(s.caX509.get()));
  X509_set_pubkey(cert.get(), key.get());
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 630720000);
  static const char* const kNames[] = {"authorityKeyIdentifier", "basicConstraints", "keyUsage",
                                       "nsComment", "subjectKeyIdentifier"};
  static const char* const kValues[] = {"keyid,issuer:always", "CA:FALSE",
                                        "nonRepudiation,digitalSignature,keyEncipherment",
                                        "MT Quillax Certificate", "hash"};
  X509V3_CTX ctx{};
  X509V3_set_ctx(&ctx, s.caX509.get(), cert.get(), nullptr, nullptr, 0);
  for (int i = 0; i < 5; ++i) {
    const Ssl::X509ExtensionPtr ext(X509V3_EXT_conf(nullptr, &ctx, kNames[i], kValues[i]));
    X509_add_ext(cert.get(), ext.get(), -1);
  }
  if (X509_sign(cert.get(), s.caPkey.get(), EVP_sha1()) <= 0) std::abort();
  const Ssl::BioPtr pem(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(pem.get(), cert.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(pem.get(), &data);
  out.Resize(static_cast<size_t>(length));
  std::memcpy(out.GetData(), data, static_cast<size_t>(length));
  return static_cast<int>(length);
}

void BM_IssueWithCertificateBuilder(benchmark::State& state) {
  const Setup& s = Shared();
  QxSecCm::CertificateBuilder builder(s.caCert, s.caKey);
  builder.SetSerialBlock(static_cast<uint32_t>(state.range(0)));
  const QxSecCm::CertRequest record;
  CharArray_t out;
  for (auto _ : state)
    benchmark::DoNotOptimize(builder.BuildCertificate(record, s.csr, out, false));
  state.SetItemsProcessed(state.iterations());
}

void BM_IssueWithExactOpenSslSequence(benchmark::State& state) {
  const Setup& s = Shared();
  CharArray_t out;
  for (auto _ : state) benchmark::DoNotOptimize(ExactSequence(s.csr, out));
  state.SetItemsProcessed(state.iterations());
}

void BM_DurableSerialStepAlone(benchmark::State& state) {
  Shared();
  for (auto _ : state) benchmark::DoNotOptimize(DrawSerial());
  state.SetItemsProcessed(state.iterations());
}

void BM_GenerateRsaKeyPair(benchmark::State& state) {
  Shared();
  for (auto _ : state) {
    QxSecCm::X509CertRequest request("bench-node", "Lab");
    benchmark::DoNotOptimize(request.GetKeyPair());
  }
  state.SetItemsProcessed(state.iterations());
}

// Wall-clock time: the wait for the disk is part of issuing.
// block: serial numbers reserved per draw from the serial file (SetSerialBlock).
BENCHMARK(BM_IssueWithCertificateBuilder)
    ->ArgName("block")
    ->Arg(1)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_IssueWithExactOpenSslSequence)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_DurableSerialStepAlone)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_GenerateRsaKeyPair)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// RateReporter prints as the console reporter does and keeps each benchmark's rates per second
// of wall-clock time and of CPU time (the rates differ by the time spent waiting for the disk).
class RateReporter : public benchmark::ConsoleReporter {
 public:
  struct Rates {
    double wall = 0;
    double cpu = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const double n = static_cast<double>(run.iterations);
      m_rates[run.benchmark_name()] = {n / run.real_accumulated_time, n / run.cpu_accumulated_time};
    }
  }
  // Get returns the rates of the benchmark whose name begins with name (0 when it did not run).
  Rates Get(const std::string& name) const {
    for (const auto& [run, rates] : m_rates) {
      if (run.rfind(name, 0) == 0) return rates;
    }
    return {};
  }

 private:
  std::map<std::string, Rates> m_rates;
};

std::string FileSystemOf(const std::string& path) {
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) return "unknown";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x01021994:
      return "tmpfs";
    case 0xEF53:
      return "ext2/3/4";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x794c7630:
      return "overlayfs";
    default:
      return "other";
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const Setup& s = Shared();
  const auto builder = reporter.Get("BM_IssueWithCertificateBuilder/block:1/");
  const auto blocks = reporter.Get("BM_IssueWithCertificateBuilder/block:64/");
  const auto exact = reporter.Get("BM_IssueWithExactOpenSslSequence");
  const auto serial = reporter.Get("BM_DurableSerialStepAlone");
  const auto keys = reporter.Get("BM_GenerateRsaKeyPair");
  std::printf("\nQX_HOME %s (%s), one thread        per wall-clock s    per CPU s\n",
              s.home.c_str(), FileSystemOf(s.home).c_str());
  std::printf("  CertificateBuilder, certificates    %10.1f   %10.1f\n", builder.wall, builder.cpu);
  std::printf("  the same, serials 64 at a time      %10.1f   %10.1f\n", blocks.wall, blocks.cpu);
  std::printf("  exact OpenSSL sequence, certificates%10.1f   %10.1f\n", exact.wall, exact.cpu);
  if (exact.wall > 0 && exact.cpu > 0) {
    std::printf("  ratio builder / exact               %10.2f   %10.2f\n",
                builder.wall / exact.wall, builder.cpu / exact.cpu);
  }
  std::printf("  durable serial step alone           %10.1f   %10.1f\n", serial.wall, serial.cpu);
  std::printf("  RSA-1024 key pairs (X509CertRequest)%10.1f   %10.1f\n", keys.wall, keys.cpu);

  if (s.ownHome) std::filesystem::remove_all(s.home);
  benchmark::Shutdown();
  return 0;
}
