// Utils: random bytes, console text wrapping, the server's resource group, directory protection.
#include "qxseccm/Utils.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string_view>

#include "CryptoSupport.h"
#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Initializer.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace {

constexpr std::u16string_view kBreakCharacters = u" }]>|/\\\n";
constexpr int kFirstLabel = 67;  // "INFO:"; NOTE, WARNING and ERROR follow
constexpr mode_t kOwnerOnly = 0700;

QxMoxStr::String_t Label(Utils::MsgType type, int indent) {
  if (type >= Utils::MSG_INFO && type <= Utils::MSG_ERROR) {
    return Catalog::Plain(kFirstLabel + type).Format(QxMoxMsg::FMT_LABEL);
  }
  std::u16string bullet(static_cast<size_t>(std::max(indent - 2, 0)), u' ');
  bullet += u'*';
  return QxMoxMsg::CreateMessage_t(QxMoxMsg::SEV_NONE, QxMoxStr::String_t(bullet)).Format();
}

}  // namespace

int Utils::GetRandomBytes(QxMoxArray::CharArray_t& bytes) {
  Initializer::GlobalInit();
  unsigned char* data = bytes.GetData();
  for (size_t left = bytes.GetSize(); left > 0;) {
    const int chunk = static_cast<int>(std::min<size_t>(left, INT_MAX));
    if (RAND_bytes(data, chunk) != 1) {
      const QxMoxStr::String_t reason(QxSecCore::Ssl::ErrorText());
      QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Client,
                    QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("Could not generate random bytes (") +
                                           reason + QxMoxStr::String_t(").")));
    }
    data += chunk;
    left -= static_cast<size_t>(chunk);
  }
  return static_cast<int>(std::min<size_t>(bytes.GetSize(), INT_MAX));
}

QxMoxStr::String_t Utils::FormatOutput(const QxMoxStr::String_t& prefix,
                                       const QxMoxStr::String_t& text, int indentArg,
                                       int widthArg) {
  const std::u16string_view all(text.Str());
  if (all.empty()) return prefix;
  const long indent = std::max(indentArg, 0);
  const long width = widthArg;
  const std::u16string blanks(static_cast<size_t>(indent), u' ');

  std::u16string result = prefix.Str();
  long column = 0;
  if (static_cast<long>(result.size()) < indent) {
    result.resize(static_cast<size_t>(indent), u' ');
    column = indent;
  } else {
    result += u'\n';
  }
  const long available = width - indent;

  size_t pos = 0;
  while (pos < all.size()) {
    size_t last = all.find_first_of(kBreakCharacters, pos);
    std::u16string_view piece;
    if (last != std::u16string_view::npos) {
      piece = all.substr(pos, last - pos + 1);
    } else {
      piece = all.substr(pos);
      last = all.size();
    }
    if (static_cast<long>(piece.size()) > available) {
      // A hard break fills the line from where the piece will start: at the indent when the
      // line is still empty. Counting from column 0 there would overrun the width by the
      // indent; a room of nothing would end the text early.
      const long start = (column == 0 && indent != 0) ? indent : column;
      long room = width - start;
      if (room < available / 10 || room <= 0) {
        result += u'\n';
        column = 0;
        room = std::max(available, 1L);
      }
      piece = all.substr(pos, static_cast<size_t>(room));
      last = pos + static_cast<size_t>(room) - 1;
    }
    if (piece.empty()) break;
    if (column == 0 && indent != 0) {
      result += blanks;
      column = indent;
    }
    if (column + static_cast<long>(piece.size()) > width) {
      result += u'\n';
      result += blanks;
      result += piece;
      column = indent + static_cast<long>(piece.size());
    } else {
      result += piece;
      column += static_cast<long>(piece.size());
    }
    pos = last + 1;
    if (piece.back() == u'\n') column = 0;
  }
  return QxMoxStr::String_t(std::move(result));
}

QxMoxStr::String_t Utils::FormatStdOutput(const QxMoxStr::String_t& text, int indent, int width,
                                          MsgType type) {
  return FormatOutput(Label(type, indent), text, indent, width);
}

QxMoxStr::String_t Utils::GetCertificateServerQxrg() {
  QxMoxTrc::TraceObj_t& tracer = QxSecCmTrc::Tracer::GetServerTracerInit();
  QxMoxStr::String_t result("");
  try {
    const QxMoxStr::String_t value =
        QxMoxConfig::ConfigNamespace_t("sec.cm.server").Open().GetValue("QXRG");
    if (!value.IsNull()) result = value;
  } catch (const QxMoxMsg::Exception_t& e) {
    QXSECCM_TRACE_LINE(tracer, 4,
                       "Exception occurred while getting QX Resource Group for Certificate Server ("
                           << e << "). Continuing with no QX Resource Group set.");
    result = QxMoxStr::String_t("");
  }
  if (!result.IsEmpty()) {
    QXSECCM_TRACE_LINE(tracer, 1,
                       "Using QX Resource Group '" << result << "' for Certificate Server.");
  } else {
    QXSECCM_TRACE_LINE(tracer, 1, "Using no QX Resource Group for Certificate Server.");
  }
  return result;
}

int Utils::SetFilePermissions(const QxMoxStr::String_t& /*path*/) { return 0; }

int Utils::SetDirectoryPermissions(const QxMoxStr::String_t& path) {
  if (::chmod(path.ToUtf8().c_str(), kOwnerOnly) != 0) {
    const int error = errno;
    QxMoxMsg::Message_t message = Catalog::Warn(149) << path;
    message.AddDetails(QxMoxMsg::Win32Message_t(error));
    QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Server, message);
  }
  return 0;
}

}  // namespace QxSecCm
