// SubjectValue: the checks a value of a certificate subject passes before it is used.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "qxseccm/ExceptionTracer.h"

// Internal to the library: none of these is exported from it.
#pragma GCC visibility push(hidden)
namespace QxSecCm::SubjectValue {

// The longest values a certificate name may hold, in characters (X.520 upper bounds).
constexpr size_t kMaxCommonName = 64;
constexpr size_t kMaxLocalityName = 128;

// Check throws QxMoxMsg::IllegalArgumentError_t (traced on side) with a sentence naming
// attribute ("common name (CN)") when utf8 cannot be its value in a certificate subject: no
// value (std::nullopt: the text has no UTF-8 form) or bytes that are not UTF-8; a control
// character (below U+0020, or U+007F), which could make one name pass for two in a listing;
// and, when maxLength is not 0, an empty value or one of more than maxLength characters.
void Check(ExceptionTracer::E side, std::string_view attribute,
           const std::optional<std::string>& utf8, size_t maxLength = 0);

}  // namespace QxSecCm::SubjectValue
#pragma GCC visibility pop
