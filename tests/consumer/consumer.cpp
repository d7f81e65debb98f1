// A program built against the installed library with nothing but <QxSecCm.h> and pkg-config.
// It checks a catalog text itself; the calling script checks what it traced.
#include <QxSecCm.h>

#include <cstdio>
#include <cstring>

int main() {
  using QxSecCm::Catalog;
  using QxSecCm::ExceptionTracer;
  using QxSecCmTrc::TraceText;

  TraceText text;
  text << "consumer " << 1 << ' ' << TraceText::AsHex(255) << QxMoxStr::String_t("!");
  if (std::strcmp(text.GetMsg(), "consumer 1 {FF}!") != 0) {
    std::fprintf(stderr, "trace text: '%s'\n", text.GetMsg());
    return 1;
  }

  const QxMoxMsg::Message_t message = Catalog::Warn(56) << "abc";
  const std::string formatted = message.Format().ToUtf8();
  if (formatted != "Unknown request id 'abc'.") {
    std::fprintf(stderr, "message 56: '%s'\n", formatted.c_str());
    return 1;
  }

  // Side 3 is neither client nor server: the exception area. Side 1 is the client area.
  ExceptionTracer::TraceThrow(static_cast<ExceptionTracer::E>(3), "UnknownRequestIdException",
                              message, __FILE__, __LINE__);
  ExceptionTracer::TraceThrow(ExceptionTracer::Client, "UnknownRequestIdException", message,
                              __FILE__, __LINE__);

  try {
    throw QxSecCm::UnknownRequestIdException(message);
  } catch (const QxMoxMsg::Exception_t& e) {
    if (std::strcmp(e.what(), "Unknown request id 'abc'.") != 0) {
      std::fprintf(stderr, "what: '%s'\n", e.what());
      return 1;
    }
  }
  return 0;
}
