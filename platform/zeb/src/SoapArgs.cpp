#include <charconv>
#include <cstdio>
#include <limits>

#include "qxmox/Exception.h"
#include "qxzeb/Soap.h"

namespace QxZebSoap {

namespace {

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// Trimmed returns the text without surrounding XML white space.
std::u16string_view Trimmed(const String_t& text) {
  std::u16string_view s = text.Str();
  while (!s.empty() && IsXmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsXmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

// TrimmedAscii returns the trimmed text as ASCII; a character beyond ASCII becomes 0x7F so it
// never matches a digit or letter.
std::string TrimmedAscii(const String_t& text) {
  const std::u16string_view s = Trimmed(text);
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '\x7f');
  return out;
}

[[noreturn]] void Bad(const char* kind, const String_t& text) {
  QxMoxMsg::ThrowIllegalArgument(String_t("not a valid ") + kind + ": '" + text.Mid(0, 64) + "'");
}

// ParseDecimal reads the whole text as a decimal integer of type T: surrounding XML white space,
// an optional sign ('-' only where T is signed) and at least one digit, within T's range.
template <class T>
T ParseDecimal(const String_t& text, const char* kind) {
  const std::string s = TrimmedAscii(text);
  const char* first = s.data();
  const char* const last = first + s.size();
  const bool plus = first != last && *first == '+';
  if (plus) ++first;
  T value{};
  const auto [end, ec] = std::from_chars(first, last, value);
  // from_chars takes a '-' of its own, which must not follow a '+'.
  if (ec != std::errc() || end != last || (plus && *first == '-')) Bad(kind, text);
  return value;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c - u'A';
  if (c >= u'a' && c <= u'z') return c - u'a' + 26;
  if (c >= u'0' && c <= u'9') return c - u'0' + 52;
  if (c == u'+') return 62;
  if (c == u'/') return 63;
  return -1;
}

// Days between 1970-01-01 and the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Years beyond this are refused, so no step of the conversion can overflow.
constexpr int64_t kMaxYear = 999999999;
// The times the text carries both ways: years -999999999 to 999999999 in UTC. A time read with
// an offset must land in this range too, or it could not be written back in a readable form.
const int64_t kMinTime = DaysFromCivil(-kMaxYear, 1, 1) * 86400;
const int64_t kMaxTime = DaysFromCivil(kMaxYear, 12, 31) * 86400 + 86399;

String_t FormatTime(int64_t t) {
  if (t < kMinTime || t > kMaxTime) {
    QxMoxMsg::ThrowIllegalArgument(String_t("time outside the years of xsd:dateTime: ") +
                                   QxMoxStr::NumToStr(t));
  }
  int64_t days = t / 86400, secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%04lld-%02u-%02uT%02d:%02d:%02dZ", y < 0 ? "-" : "",
                static_cast<long long>(y < 0 ? -y : y), m, d, static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return String_t(buf);
}

// ParseTime reads [-]YYYY-MM-DDThh:mm:ss[.f*][Z|(+|-)hh:mm] into seconds since the epoch. It
// reads the UTF-16 units in place (a character beyond ASCII matches no expected one): times
// arrive once per record in long lists, and a narrowed copy per time was a visible cost.
int64_t ParseTime(const String_t& text) {
  const std::u16string_view s = Trimmed(text);
  size_t i = 0;
  auto digits = [&](size_t min, size_t max, int64_t& out) {
    size_t start = i;
    out = 0;
    while (i < s.size() && i - start < max && s[i] >= '0' && s[i] <= '9')
      out = out * 10 + (s[i++] - '0');
    if (i - start < min) Bad("xsd:dateTime", text);
  };
  auto expect = [&](char c) {
    if (i >= s.size() || s[i] != c) Bad("xsd:dateTime", text);
    ++i;
  };
  bool negative = false;
  if (i < s.size() && s[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t y, mo, d, h, mi, se;
  digits(4, 9, y);
  expect('-');
  digits(2, 2, mo);
  expect('-');
  digits(2, 2, d);
  expect('T');
  digits(2, 2, h);
  expect(':');
  digits(2, 2, mi);
  expect(':');
  digits(2, 2, se);
  if (i < s.size() && s[i] == '.') {
    ++i;
    size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == start) Bad("xsd:dateTime", text);
  }
  int64_t offset = 0;
  if (i < s.size() && s[i] == 'Z') {
    ++i;
  } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    const int sign = s[i++] == '-' ? -1 : 1;
    int64_t oh, om;
    digits(2, 2, oh);
    expect(':');
    digits(2, 2, om);
    if (oh > 14 || om > 59) Bad("xsd:dateTime", text);
    offset = sign * (oh * 3600 + om * 60);
  }
  if (i != s.size()) Bad("xsd:dateTime", text);
  if (negative) y = -y;
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y > kMaxYear || mo < 1 || mo > 12 || d < 1 ||
      d > kDays[mo - 1] + (mo == 2 && IsLeap(y) ? 1 : 0) || h > 23 || mi > 59 || se > 59) {
    Bad("xsd:dateTime", text);
  }
  const int64_t t = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                    h * 3600 + mi * 60 + se - offset;
  if (t < kMinTime || t > kMaxTime) Bad("xsd:dateTime", text);
  return t;
}

// The one place where a received time is narrowed to the 32-bit twin.
int32_t NarrowTime(int64_t t, const String_t& text) {
  if (t < std::numeric_limits<int32_t>::min() || t > std::numeric_limits<int32_t>::max()) {
    Bad("32-bit xsd:dateTime", text);
  }
  return static_cast<int32_t>(t);
}

void StoreTime(int64_t t, const String_t& text, XSDDateTime& value) {
  value.m_time = NarrowTime(t, text);
}
void StoreTime(int64_t t, const String_t&, XSDDateTime_ex& value) { value.m_time = t; }

}  // namespace

String_t SOAPArgInt::IntToUnicode(int32_t value) { return QxMoxStr::NumToStr(value); }

int32_t SOAPArgInt::UnicodeToInt(const String_t& text) {
  return ParseDecimal<int32_t>(text, "xsd:int");
}

String_t IntTraits::Format(const Value& value) { return SOAPArgInt::IntToUnicode(value); }
void IntTraits::Parse(const String_t& text, Value& value) {
  value = SOAPArgInt::UnicodeToInt(text);
}

String_t BoolTraits::Format(const Value& value) { return value ? "true" : "false"; }
void BoolTraits::Parse(const String_t& text, Value& value) {
  const std::string s = TrimmedAscii(text);
  if (s == "true" || s == "1") {
    value = true;
  } else if (s == "false" || s == "0") {
    value = false;
  } else {
    Bad("xsd:boolean", text);
  }
}

String_t ULongTraits::Format(const Value& value) { return QxMoxStr::NumToStr(value); }
void ULongTraits::Parse(const String_t& text, Value& value) {
  value = ParseDecimal<uint64_t>(text, "xsd:unsignedLong");
}

void URITraits::Parse(const String_t& text, Value& value) {
  value = QxMoxNet::URI_t(String_t(TrimmedAscii(text)));
}

String_t ByteArrayTraits::Format(const Value& value) {
  const unsigned char* p = value.GetData();
  const size_t n = value.GetSize();
  std::u16string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t b = (uint32_t{p[i]} << 16) | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) |
                       (i + 2 < n ? uint32_t{p[i + 2]} : 0);
    out.push_back(kBase64[(b >> 18) & 63]);
    out.push_back(kBase64[(b >> 12) & 63]);
    out.push_back(i + 1 < n ? kBase64[(b >> 6) & 63] : '=');
    out.push_back(i + 2 < n ? kBase64[b & 63] : '=');
  }
  return String_t(std::move(out));
}

void ByteArrayTraits::Parse(const String_t& text, Value& value) {
  std::string out;
  out.reserve(text.GetLength() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0, pad = 0;
  size_t count = 0;
  for (char16_t c : text.Str()) {
    if (IsXmlSpace(c)) continue;
    if (c == u'=') {
      ++pad;
      ++count;
      continue;
    }
    const int v = Base64Value(c);
    if (v < 0 || pad > 0) Bad("xsd:base64Binary", text);
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    ++count;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  if (count % 4 != 0 || pad > 2 || (acc & ((1u << bits) - 1)) != 0) Bad("xsd:base64Binary", text);
  value = QxMoxArray::CharArray_t(std::string_view(out));
}

template <class DateTime>
String_t DateTimeTraits<DateTime>::Format(const Value& value) {
  return FormatTime(value.m_time);
}

template <class DateTime>
void DateTimeTraits<DateTime>::Parse(const String_t& text, Value& value) {
  StoreTime(ParseTime(text), text, value);
}

template <class Traits>
void SOAPArgSimple<Traits>::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  writer.Data(Traits::Format(*m_target));
}

template <class Traits>
void SOAPArgSimple<Traits>::EndElement(const String_t& prefix, const String_t& name,
                                       const String_t& namespaceUri) {
  if (IsInside()) Traits::Parse(GetCharacters(), *m_target);
  SOAPArg::EndElement(prefix, name, namespaceUri);
}

template struct DateTimeTraits<XSDDateTime>;
template struct DateTimeTraits<XSDDateTime_ex>;
template class SOAPArgSimple<IntTraits>;
template class SOAPArgSimple<BoolTraits>;
template class SOAPArgSimple<ULongTraits>;
template class SOAPArgSimple<UnicodeStringTraits>;
template class SOAPArgSimple<URITraits>;
template class SOAPArgSimple<ByteArrayTraits>;
template class SOAPArgSimple<DateTimeTraits<XSDDateTime>>;
template class SOAPArgSimple<DateTimeTraits<XSDDateTime_ex>>;

}  // namespace QxZebSoap
