// The installation key file: the 32 key bytes as 64 lower-case hexadecimal digits and a line
// feed. "qxcm installkey create" writes it, "qxcm node request" reads it.
#pragma once

#include <cstddef>
#include <string>

#include "CommandSupport.h"

namespace QxCm {

inline constexpr size_t INSTALL_KEY_SIZE = 32;

// FormatInstallKey returns the file content for key (INSTALL_KEY_SIZE bytes).
Secret FormatInstallKey(const Secret& key);

// ReadInstallKey returns the key bytes of the installation key file at path: 64 hexadecimal
// digits of either case, then a line feed (the last one may be left out). Throws like ReadInput
// for an unreadable file, IllegalArgumentError_t naming path for any other content.
Secret ReadInstallKey(const std::string& path);

}  // namespace QxCm
