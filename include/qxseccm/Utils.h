// Utils (random bytes, console text, resource group, directory protection) and getpass.
#pragma once

#include "qxmox/CharArray.h"
#include "qxmox/String.h"

namespace QxSecCm {

// Utils collects static services for programs built on the library and for the library itself.
class Utils {
 public:
  // MsgType is the label FormatStdOutput puts in front of console text.
  enum MsgType : int {
    MSG_INFO = 0,     // "INFO:"     (catalog message 67)
    MSG_NOTE = 1,     // "NOTE:"     (68)
    MSG_WARNING = 2,  // "WARNING:"  (69)
    MSG_ERROR = 3,    // "ERROR:"    (70)
    // any other value: a bullet, indent - 2 blanks and "*" (just "*" for an indent below 2)
  };

  // GetRandomBytes runs the crypto set-up (Initializer::GlobalInit), fills all of bytes from
  // OpenSSL's random generator and returns bytes' size. Throws QxMoxMsg::RuntimeException_t
  // with OpenSSL's error text when the generator fails, rather than hand out bytes that are not
  // random.
  static int GetRandomBytes(QxMoxArray::CharArray_t& bytes);

  // FormatOutput word-wraps text to lines of width characters (UTF-16 code units), behind
  // prefix, every line indented by indent blanks:
  //  - an empty text gives prefix unchanged;
  //  - a prefix shorter than indent is padded to indent and the text starts on its line; a
  //    longer one stands on a line of its own;
  //  - lines break after a blank or one of "}]>|/\" (the character stays at the end of the
  //    line, blanks are not trimmed) and after each newline in the text;
  //  - a word longer than width - indent is cut hard so that the lines fill up to width.
  // Widths where width - indent is below 1 still lose no text (one character per line).
  static QxMoxStr::String_t FormatOutput(const QxMoxStr::String_t& prefix,
                                         const QxMoxStr::String_t& text, int indent, int width);
  // FormatStdOutput returns FormatOutput(label of type, text, indent, width).
  static QxMoxStr::String_t FormatStdOutput(const QxMoxStr::String_t& text, int indent, int width,
                                            MsgType type);

  // GetCertificateServerQxrg returns the value of "QXRG" in configuration namespace
  // "sec.cm.server", the name of the cluster resource group of the certificate server, or the
  // empty string when it is unset or the configuration cannot be read. Never throws.
  static QxMoxStr::String_t GetCertificateServerQxrg();

  // SetFilePermissions does nothing and returns 0 (files are created with their final mode).
  static int SetFilePermissions(const QxMoxStr::String_t& path);

  // SetDirectoryPermissions makes path accessible to its owner only (mode 0700), so nobody else
  // can reach what is or will be stored in it; returns 0. Throws QxMoxMsg::RuntimeException_t
  // with catalog message 149 "Could not change file access permissions for directory '%1'."
  // (the operating system's reason as details) when it cannot.
  static int SetDirectoryPermissions(const QxMoxStr::String_t& path);
};

// getpass writes prompt to standard error and reads a password from the terminal on standard
// input without echo, printing "*" for each character and a newline at the end on standard
// output. It returns after Enter, or after 127 characters; any other control key (Backspace,
// Escape, Ctrl-C, ...) and any byte of 128 or more discard what was typed and repeat the prompt.
// The terminal's mode is restored on every way out.
//
// The result is one static buffer of 128 bytes (NUL-terminated) that the next call overwrites;
// two threads must not call getpass at once. Throws QxMoxIo::IOException_t when standard input
// is not a terminal (read a password from a file instead) or when the terminal reaches its end
// or cannot be read.
char* getpass(const char* prompt);

}  // namespace QxSecCm
