// SoapNameTable: the element names of a document as the SOAP reader hands them to arguments,
// split and decoded once per distinct name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qxmox/String.h"

namespace QxZebSoap {

// Expat reports namespaced names as "uri<sep>local<sep>prefix"; the separator cannot occur in a
// URI or a name.
inline constexpr char kNameSeparator = '\n';

// SoapName is an element name split into its namespace, local part and prefix.
struct SoapName {
  QxMoxStr::String_t ns, local, prefix;
};

// SplitName splits and decodes an expat name ("local", "uri<sep>local" or
// "uri<sep>local<sep>prefix").
SoapName SplitName(std::string_view raw);

// SoapNameTable splits and decodes each distinct name of one document once: a document repeats a
// handful of element names many thousand times, and decoding them for every tag cost more than
// expat's own pass. Only short names are kept, only up to a count, and a lookup probes a bounded
// number of slots, so a hostile document of many distinct, huge or colliding names costs bounded
// memory and time: such names are split again for every tag.
class SoapNameTable {
 public:
  // Get returns the split name of raw; the reference is valid until the next call, or for the
  // table's life when IsKept.
  const SoapName& Get(const char* raw) {
    // Tags come in the same order record after record, so the name that followed the previous
    // one last time is tried first: a comparison of a few bytes instead of a hash lookup.
    if (m_previous != nullptr && m_previous->next != nullptr &&
        Matches(m_previous->next->raw, raw)) {
      m_previous = m_previous->next;
      return m_previous->name;
    }
    Entry* entry = Find(raw);
    if (m_previous != nullptr) m_previous->next = entry;
    m_previous = entry;
    if (entry != nullptr) return entry->name;
    m_uncached = SplitName(raw);
    return m_uncached;
  }
  bool IsKept(const SoapName& name) const { return &name != &m_uncached; }

 private:
  struct Entry {
    std::string raw;
    SoapName name;
    Entry* next = nullptr;  // the name that followed this one last time
  };
  struct Slot {
    uint32_t hash = 0;
    Entry* entry = nullptr;
  };

  static bool Matches(const std::string& kept, const char* raw) {
    size_t i = 0;
    for (; i < kept.size(); ++i) {
      if (raw[i] != kept[i]) return false;  // also stops at the end of a shorter raw
    }
    return raw[i] == '\0';
  }
  // Find returns the kept entry for raw, adding it when there is room; null when not kept.
  Entry* Find(const char* raw);
  // Grow doubles the slots up to their bound.
  void Grow();

  std::vector<std::unique_ptr<Entry>> m_entries;  // owned for the table's life
  std::vector<Slot> m_slots;                      // open addressing; size a power of two
  Entry* m_previous = nullptr;                    // the entry Get returned last
  SoapName m_uncached;
};

}  // namespace QxZebSoap
