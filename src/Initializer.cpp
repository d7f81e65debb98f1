// Initializer: one-time OpenSSL set-up, random seeding and OpenSSL error texts.
#include "qxseccm/Initializer.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "CryptoSupport.h"
#include "TraceMacros.h"
#include "qxmox/Net.h"
#include "qxmox/Thread.h"
#include "qxseccm/Tracer.h"
#include "qxseccore/Uuid.h"

namespace QxSecCm {
namespace {

constexpr uint32_t kLevel = 9;
constexpr size_t kErrorTextSize = 256;  // the least a caller's error text array holds
constexpr int kRandValues = 1024;

std::atomic<bool> s_initialized{false};

// The set-up mutex outlives every caller: made on first use and never destroyed.
QxMoxThread::Mutex_t& InitMutex() {
  static QxMoxThread::Mutex_t* mutex = new QxMoxThread::Mutex_t();
  return *mutex;
}
// Made while the library loads, before any thread can call in.
[[maybe_unused]] const bool g_mutexMade = (InitMutex(), true);

QxMoxTrc::TraceObj_t& InitTracer() { return QxSecCmTrc::Tracer::GetClientTracerInit(); }

// Seed hands one portion to the generator and traces its size; returns the size.
int Seed(const void* bytes, size_t count) {
  if (count == 0) return 0;
  RAND_seed(bytes, static_cast<int>(count));
  QXSECCM_TRACE_LINE(InitTracer(), kLevel,
                     "Initializer: Put " << static_cast<int>(count) << " bytes into Rand_seed.");
  return static_cast<int>(count);
}

int SeedTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[64] = {};
  if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) return 0;
  return Seed(text, std::strlen(text));
}

int SeedHostIdentity() {
  const QxMoxNet::InetAddress_t host = QxMoxNet::InetAddress_t::GetLocalHost();
  std::string bytes = QxMoxStr::MBS_t(host.GetHostName()).Str();
  bytes += QxMoxStr::MBS_t(host.GetHostAddress()).Str();
  return Seed(bytes.data(), bytes.size());
}

int SeedUuid() {
  const std::string text = QxSecCore::Uuid::GenerateUuid().ToString().ToUtf8();
  return Seed(text.data(), text.size());
}

// The time-seeded sequence adds little, but keeps its place among the portions. rand_r with a
// local state gives it without reseeding the program's own rand() and without a data race.
int SeedPseudoRandom() {
  unsigned state = static_cast<unsigned>(std::time(nullptr));
  int values[kRandValues];
  for (int& value : values) value = rand_r(&state);
  return Seed(values, sizeof values);
}

// Guarded runs one seed portion; a portion that cannot be gathered counts 0 bytes.
template <class F>
int Guarded(F portion) {
  try {
    return portion();
  } catch (...) {
    ERR_clear_error();
    return 0;
  }
}

void LoadProviders() {
  // Loading any provider explicitly switches off the implicit default one, so both are named.
  // The handles stay loaded until the process ends.
  static OSSL_PROVIDER* defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
  static OSSL_PROVIDER* legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
  (void)defaultProvider;
  (void)legacyProvider;
  ERR_clear_error();
}

}  // namespace

void Initializer::GlobalInit() {
  if (!s_initialized.load(std::memory_order_acquire)) DoGlobalInit();
}

bool Initializer::IsInitialized() { return s_initialized.load(std::memory_order_acquire); }

void Initializer::DoGlobalInit() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "Initializer::DoGlobalInit()");
  if (s_initialized.load(std::memory_order_acquire)) return;
  QxMoxThread::MutexLock_t lock(InitMutex());
  if (s_initialized.load(std::memory_order_acquire)) return;

  QXSECCM_TRACE_LINE(InitTracer(), kLevel, "Initializer: Loading all algorithms");
  // Whether OpenSSL reads its configuration file stays OpenSSL's default: asking for no
  // configuration here would switch it off for the whole process, whoever asks for it later.
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  LoadProviders();

  QXSECCM_TRACE_LINE(InitTracer(), kLevel, "Initializer: Loading error strings ");
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  QXSECCM_TRACE_LINE(InitTracer(), kLevel, "Initializer: Initializing random number generator ");
  SeedRandomGenerator();

  // Since OpenSSL 1.1 the library locks with its own threads primitives and tells threads apart
  // itself: CRYPTO_num_locks() is 1 and the locking and thread-id callbacks are ignored. So no
  // lock array is made and no callback set; the step keeps its trace line, and OpenSSL's
  // internal state stays safe to share between threads.
  QXSECCM_TRACE_LINE(InitTracer(), kLevel, "Initializer: Enabling  MultiThreading support");

  s_initialized.store(true, std::memory_order_release);
}

void Initializer::SeedRandomGenerator() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "Initializer::SeedRandomGenerator() ");
  int total = Guarded(SeedTime);
  total += Guarded(SeedHostIdentity);
  total += Guarded(SeedUuid);
  total += Guarded(SeedPseudoRandom);
  QXSECCM_TRACE_LINE(InitTracer(), kLevel,
                     "Initializer: Put " << total << " total bytes into Rand_seed.");
}

void Initializer::GetOpenSslError(QxMoxArray::CharArray_t& text) {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "Initializer::GetOpenSslError() ");
  try {
    if (text.GetSize() < kErrorTextSize) text.Resize(kErrorTextSize);
  } catch (...) {
    return;
  }
  const unsigned long code = ERR_get_error();
  if (code == 0) return;
  ERR_error_string_n(code, reinterpret_cast<char*>(text.GetData()), text.GetSize());
}

}  // namespace QxSecCm
