// Listing: tables, record lines and JSON for the listing commands.
#include "Listing.h"

#include <time.h>

#include <algorithm>
#include <stdexcept>

#include "qxmox/String.h"

namespace QxCm {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Text is the value as a table shows it.
std::string Text(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return Printable(*text);
  if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
  return std::get<bool>(value) ? "yes" : "no";
}

std::string Json(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return JsonString(*text);
  if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
  return std::get<bool>(value) ? "true" : "false";
}

std::string JsonObject(const std::vector<Column>& columns, const Row& row) {
  std::string out = "{";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(columns[i].key) + ": " + Json(row[i]);
  }
  return out + "}";
}

}  // namespace

std::string UtcDate(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  char text[32] = "?";
  if (gmtime_r(&t, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (QxMoxStr::IsControlCharacter(c)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void Listing::Add(Row row) {
  if (row.size() != m_columns.size()) throw std::logic_error("Listing: row of the wrong width");
  m_rows.push_back(std::move(row));
}

void Listing::Print(std::ostream& out, bool json) const {
  if (json) {
    out << "[";
    for (size_t r = 0; r < m_rows.size(); ++r) {
      out << (r == 0 ? "\n  " : ",\n  ") << JsonObject(m_columns, m_rows[r]);
    }
    out << (m_rows.empty() ? "]\n" : "\n]\n");
    return;
  }
  if (m_rows.empty()) return;
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> widths;
  for (const Column& column : m_columns) widths.push_back(std::string_view(column.heading).size());
  for (const Row& row : m_rows) {
    std::vector<std::string>& line = cells.emplace_back();
    for (size_t i = 0; i < row.size(); ++i) {
      line.push_back(Text(row[i]));
      widths[i] = std::max(widths[i], line.back().size());
    }
  }
  const auto printLine = [&](auto cell) {
    std::string line;
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string text = cell(i);
      line += text;
      if (i + 1 < widths.size()) line += std::string(widths[i] - text.size() + 2, ' ');
    }
    out << line << '\n';
  };
  printLine([&](size_t i) { return std::string(m_columns[i].heading); });
  for (const auto& line : cells) printLine([&](size_t i) { return line[i]; });
}

void Listing::PrintLine(std::ostream& out, const Row& row, bool json) const {
  if (json) {
    out << JsonObject(m_columns, row) << '\n';
    return;
  }
  for (size_t i = 0; i < row.size(); ++i) out << (i > 0 ? "\t" : "") << Text(row[i]);
  out << '\n';
}

void Listing::PrintRecord(std::ostream& out, size_t index, bool json) const {
  const Row& row = m_rows.at(index);
  if (json) return PrintLine(out, row, true);
  for (size_t i = 0; i < m_columns.size(); ++i) {
    out << m_columns[i].heading << ": " << Text(row[i]) << '\n';
  }
}

}  // namespace QxCm
