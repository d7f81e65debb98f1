// TraceText: the text of one trace line, built from pieces of many types without failing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace QxMoxArray {
class CharArray_t;
class UTF16CharArray_t;
}  // namespace QxMoxArray
namespace QxMoxStr {
class String_t;
class MBS_t;
class UTF8_t;
}  // namespace QxMoxStr
namespace QxMoxNet {
class URI_t;
}  // namespace QxMoxNet
namespace QxMoxMsg {
class Message_t;
class Exception_t;
}  // namespace QxMoxMsg

namespace QxSecCmTrc {

// TraceText holds the text of one trace line as a chain of fragments: fragment 0 is the head
// node's text, fragment i the text of the node i links further. Each operator<< appends one
// fragment (or none, as noted) and returns this TraceText. Texts are multibyte in the default
// encoding (UTF-8).
//
// Allocation failures never throw out of a TraceText: operator<< and AppendBinary drop the
// fragment, GetMsg and GetCombinedMsg return "ERROR: Out of memory!". A TraceText belongs to one
// thread; build it as a local after the trace object's level test.
class TraceText {
 public:
  // AsHex wraps a number to be written in hexadecimal. Signed char and short are taken as the
  // bit pattern of their own width (a signed char -1 is 255, a short -1 is 65535).
  class AsHex {
   public:
    explicit AsHex(signed char value) : m_value(static_cast<unsigned char>(value)) {}
    explicit AsHex(short value) : m_value(static_cast<unsigned short>(value)) {}
    explicit AsHex(int value) : m_value(static_cast<uint32_t>(value)) {}
    explicit AsHex(unsigned int value) : m_value(value) {}
    uint32_t Value() const { return m_value; }

   private:
    uint32_t m_value;
  };

  TraceText() = default;
  TraceText(const TraceText&) = delete;
  TraceText& operator=(const TraceText&) = delete;
  // ~TraceText frees every fragment.
  ~TraceText();

  // A copy of text; nothing for a null pointer or an empty text.
  TraceText& operator<<(const char* text);
  // UTF-16 text, NUL-terminated, converted; nothing for a null pointer or an empty text.
  TraceText& operator<<(const unsigned short* text);
  TraceText& operator<<(const char16_t* text);
  // "0x" and the pointer value in upper-case hex without leading zeros ("0x%lX").
  TraceText& operator<<(const void* pointer);
  // The bytes as AppendBinary does ("{}" for an empty array).
  TraceText& operator<<(const QxMoxArray::CharArray_t& bytes);
  // The code units converted; nothing for an empty array.
  TraceText& operator<<(const QxMoxArray::UTF16CharArray_t& units);
  // The text converted; nothing when its length is 0.
  TraceText& operator<<(const QxMoxStr::String_t& text);
  // A copy of the text; an empty text gives an empty fragment.
  TraceText& operator<<(const QxMoxStr::MBS_t& text);
  TraceText& operator<<(const QxMoxStr::UTF8_t& text);
  // uri.ToString(), as for String_t.
  TraceText& operator<<(const QxMoxNet::URI_t& uri);
  // message.Format(36) (catalog id and details), as for String_t.
  TraceText& operator<<(const QxMoxMsg::Message_t& message);
  // The exception's message list formatted with flags 36, as for String_t.
  TraceText& operator<<(const QxMoxMsg::Exception_t& exception);
  // "true" or "false".
  TraceText& operator<<(bool value);
  // Decimal ("%d", "%u", all 64 bits).
  TraceText& operator<<(int value);
  TraceText& operator<<(unsigned int value);
  TraceText& operator<<(uint64_t value);
  // Decimal with a minus sign when negative; so that a long (a process id, a file size) is not
  // ambiguous between the overloads above.
  TraceText& operator<<(long value);
  TraceText& operator<<(long long value);
  // "{%02X}" below 256, "{%04X}" below 65536, else "{%08X}".
  TraceText& operator<<(AsHex value);
  // One UTF-16 code unit: 38 gives "&amp;", 128-255 "&%02X;", 256 and above "&%04X;", 0
  // nothing, any other value that character.
  TraceText& operator<<(unsigned short unit);
  TraceText& operator<<(char16_t unit) { return *this << static_cast<unsigned short>(unit); }
  // One character as it is (0 gives nothing), so that 'c' is not taken for the number 99.
  TraceText& operator<<(char c);

  // AppendBinary appends "{", the bytes, "}": a byte below 32 or equal to 127 is written as '.',
  // except the carriage return (13), which stays; bytes are taken as signed, so bytes from 128
  // up are written as '.' too. Nothing when data is null or length is negative.
  void AppendBinary(const void* data, int length);

  // GetMsg returns all fragments joined (up to the first missing one), which then become the
  // only fragment; "" when there is none. The text stays valid until this TraceText changes or
  // is destroyed. On allocation failure returns "ERROR: Out of memory!" and keeps the fragments.
  const char* GetMsg();
  // GetCombinedMsg takes fragment 0 as a template and fills it: "%d" (d a digit 1-9) becomes
  // fragment d, '%' with any other following character becomes the template itself, and a '%'
  // at the very end stays as it is. A fragment past the last one is the empty text. The result
  // becomes the only fragment, as with GetMsg; "ERROR: Out of memory!" on allocation failure.
  const char* GetCombinedMsg();
  // operator[] returns fragment i (fragment 0 for i of 0 or less); "" for an index past the
  // last fragment.
  const char* operator[](int i) const;

 private:
  // Append stores text (malloc'ed, taken over) in the first node without text, creating a node
  // at the end of the chain when needed; frees it when no node can be created.
  void Append(char* text);
  // AppendCopy appends a copy of length bytes at text; drops it when memory runs out.
  void AppendCopy(const char* text, size_t length);
  // Collapse makes joined (malloc'ed, taken over) the only fragment.
  void Collapse(char* joined);
  const TraceText* Node(int i) const;

  char* m_text = nullptr;       // this node's fragment, malloc'ed, or null
  TraceText* m_next = nullptr;  // the next node, or null
};

}  // namespace QxSecCmTrc
