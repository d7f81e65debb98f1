// SubjectValue: the checks a value of a certificate subject passes before it is used.
#include "SubjectValue.h"

#include <algorithm>

#include "qxmox/Exception.h"
#include "qxmox/String.h"

namespace QxSecCm::SubjectValue {
namespace {

// CharacterCount counts the bytes of well-formed UTF-8 that do not continue a character.
size_t CharacterCount(std::string_view utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string Fault(std::string_view attribute, const std::optional<std::string>& utf8,
                  size_t maxLength) {
  const std::string name = "The " + std::string(attribute);
  if (!utf8 || !QxMoxStr::IsUtf8(*utf8)) return name + " is not UTF-8 text.";
  if (QxMoxStr::HasControlCharacter(*utf8)) {
    return name +
           " holds a control character (a tab, a line break, or another below U+0020 "
           "or U+007F).";
  }
  if (maxLength == 0) return {};
  if (utf8->empty()) return name + " is empty: a certificate name needs one.";
  if (const size_t length = CharacterCount(*utf8); length > maxLength) {
    return name + " has " + std::to_string(length) +
           " characters: a certificate name holds at most " + std::to_string(maxLength) + ".";
  }
  return {};
}

}  // namespace

void Check(ExceptionTracer::E side, std::string_view attribute,
           const std::optional<std::string>& utf8, size_t maxLength) {
  const std::string fault = Fault(attribute, utf8, maxLength);
  if (!fault.empty()) {
    QXSECCM_THROW(QxMoxMsg::IllegalArgumentError_t, side,
                  QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(fault)));
  }
}

}  // namespace QxSecCm::SubjectValue
