// Initializer: the library's one-time crypto set-up and OpenSSL error text.
#pragma once

#include "qxmox/CharArray.h"

namespace QxSecCm {

// Initializer sets up OpenSSL once per process before the library's first cryptographic
// operation: algorithm tables, error strings, OpenSSL's default and legacy providers (the
// legacy one carries RC2-40 for PKCS#12), and a seeding of the random generator from the time,
// the node's host name and address, a new UUID and a time-seeded pseudo-random sequence. Every
// crypto entry point of the library (the certificate builders' constructors, PKCS12Converter,
// Utils::GetRandomBytes, the X509CertRequest constructor) calls GlobalInit first.
//
// The steps are traced at level 9 on the client init tracer:
//   "Initializer: Loading all algorithms"
//   "Initializer: Loading error strings "
//   "Initializer: Initializing random number generator "
//     "Initializer: Put <n> bytes into Rand_seed."          (once for each of four portions)
//     "Initializer: Put <total> total bytes into Rand_seed."
//   "Initializer: Enabling  MultiThreading support"
// and the calls as blocks "Initializer::DoGlobalInit()" and "Initializer::SeedRandomGenerator() "
// (level 9, client procedure tracer). Nothing is ever torn down before the process ends.
class Initializer {
 public:
  // GlobalInit runs the set-up unless it has completed already, in which case it returns at
  // once. Threads that call it together set up once; all of them return after set-up has
  // completed. Set-up reports no failure: a provider that cannot be loaded or a seed portion
  // that cannot be gathered is skipped (OpenSSL seeds itself from the operating system anyway).
  static void GlobalInit();

  // IsInitialized is true once the set-up has completed in this process.
  static bool IsInitialized();

  // GetOpenSslError resizes text to 256 bytes when it holds fewer, takes the oldest pending
  // OpenSSL error of this thread off the queue and writes its text into text, NUL-terminated and
  // cut to text's size. With no error pending, text keeps its content. Other pending errors
  // stay queued. Never throws on its own account. Traced as the block
  // "Initializer::GetOpenSslError() " (client procedure tracer).
  static void GetOpenSslError(QxMoxArray::CharArray_t& text);

 private:
  static void DoGlobalInit();
  static void SeedRandomGenerator();
};

}  // namespace QxSecCm
