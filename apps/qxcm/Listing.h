// Listing: records printed as an aligned table, as "name: value" lines or as JSON, from one
// description of their columns.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace QxCm {

// UtcDate returns seconds since 1970 as "YYYY-MM-DDThh:mm:ssZ" ("?" when out of range).
std::string UtcDate(int64_t seconds);

// Printable returns text with its control characters (below 0x20, and 0x7F) and backslashes
// escaped as \t, \n, \r, \\ or \xHH, so one record is always one line whatever a field holds.
std::string Printable(std::string_view text);

// JsonString returns text as a JSON string literal (quotes, backslashes and control characters
// escaped; other bytes as they are, the text being UTF-8).
std::string JsonString(std::string_view text);

// Column names a field: its heading in tables and "name: value" lines, and its JSON key.
struct Column {
  const char* heading;
  const char* key;
};

// Value is one field: text, a number (JSON number) or a flag ("yes"/"no", JSON true/false).
using Value = std::variant<std::string, int64_t, bool>;
using Row = std::vector<Value>;

// Listing collects rows of the columns given and prints them. Every row has one value per
// column (Add throws std::logic_error otherwise).
class Listing {
 public:
  explicit Listing(std::vector<Column> columns) : m_columns(std::move(columns)) {}

  void Add(Row row);
  bool IsEmpty() const { return m_rows.empty(); }

  // Print writes a JSON array of objects when json, else a table: a heading line, then one
  // line per row, columns left-aligned and separated by two spaces, text made Printable. An
  // empty table prints nothing (the caller says so on standard error).
  void Print(std::ostream& out, bool json) const;
  // PrintLine writes row (not kept) as one line: a JSON object when json, else its values
  // made Printable and separated by tabs.
  void PrintLine(std::ostream& out, const Row& row, bool json) const;
  // PrintRecord writes row index as one JSON object (a line) when json, else one
  // "heading: value" line per column.
  void PrintRecord(std::ostream& out, size_t index, bool json) const;

 private:
  std::vector<Column> m_columns;
  std::vector<Row> m_rows;
};

}  // namespace QxCm
