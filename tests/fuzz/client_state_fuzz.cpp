// Feeds arbitrary bytes to the reader of the certificate client's state file. Besides crashes,
// leaks and undefined behaviour it checks that a state that was read encodes and reads back
// unchanged.
#include <cstddef>
#include <cstdint>

#include "ClientStateFile.h"
#include "FuzzSupport.h"

namespace {

using QxMoxArray::CharArray_t;
using QxSecCm::ClientState;
using QxSecCm::ClientStateFile;

ClientState Decode(const CharArray_t& content) {
  QxMoxIo::CharArrayInputStream_t in(content);
  return ClientStateFile::Decode(in, QxMoxStr::String_t("fuzz"));
}

CharArray_t KeyBytes(const ClientState& state) {
  return state.privateKey.GetType() == 0 ? CharArray_t() : state.privateKey.GetEncoded();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const CharArray_t rest(data + 1, size - 1);
  const CharArray_t content =
      (data[0] & 1) == QxFuzz::kPlaintext ? ClientStateFile::Encipher(rest) : rest;
  ClientState state;
  if (QxFuzz::Refused(state, [&] { return Decode(content); })) return 0;
  const ClientState again = Decode(ClientStateFile::Encode(state));
  QxFuzz::Require(again.state == state.state && again.requestId == state.requestId &&
                      again.coreId == state.coreId && KeyBytes(again) == KeyBytes(state),
                  "state changed");
  return 0;
}
