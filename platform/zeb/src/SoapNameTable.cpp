#include "SoapNameTable.h"

#include <utility>

namespace QxZebSoap {

namespace {

constexpr size_t kMaxNames = 512;
constexpr size_t kMaxSlots = 2 * kMaxNames;  // at most half full, so probes stay short
constexpr size_t kFirstSlots = 32;
constexpr size_t kMaxNameBytes = 256;
constexpr size_t kMaxProbes = 16;

}  // namespace

SoapName SplitName(std::string_view s) {
  SoapName n;
  size_t a = s.find(kNameSeparator);
  if (a == std::string_view::npos) {
    n.local = QxMoxStr::String_t(s);
    return n;
  }
  n.ns = QxMoxStr::String_t(s.substr(0, a));
  size_t b = s.find(kNameSeparator, a + 1);
  if (b == std::string_view::npos) {
    n.local = QxMoxStr::String_t(s.substr(a + 1));
  } else {
    n.local = QxMoxStr::String_t(s.substr(a + 1, b - a - 1));
    n.prefix = QxMoxStr::String_t(s.substr(b + 1));
  }
  return n;
}

// The table is open-addressed with an FNV-1a hash: a general hash map's hashing and bucket
// division per tag showed in profiles.
SoapNameTable::Entry* SoapNameTable::Find(const char* raw) {
  // One pass finds the end of the name and its hash.
  uint32_t hash = 2166136261u;
  size_t length = 0;
  for (; raw[length] != '\0'; ++length) {
    hash = (hash ^ static_cast<unsigned char>(raw[length])) * 16777619u;
  }
  if (length > kMaxNameBytes) return nullptr;
  const std::string_view key(raw, length);
  if ((m_entries.size() + 1) * 2 > m_slots.size()) Grow();
  const size_t mask = m_slots.size() - 1;
  for (size_t probe = 0, i = hash & mask; probe < kMaxProbes; ++probe, i = (i + 1) & mask) {
    Slot& slot = m_slots[i];
    if (slot.entry == nullptr) {
      if (m_entries.size() == kMaxNames) return nullptr;
      m_entries.push_back(std::make_unique<Entry>(Entry{std::string(key), SplitName(key)}));
      slot = Slot{hash, m_entries.back().get()};
      return slot.entry;
    }
    if (slot.hash == hash && slot.entry->raw == key) return slot.entry;
  }
  return nullptr;
}

// An entry that finds no free slot within the probe bound stays owned (names handed out and
// links may point at it) but is not found again; its name is then kept a second time or split
// per tag.
void SoapNameTable::Grow() {
  if (m_slots.size() >= kMaxSlots) return;
  const size_t size = m_slots.empty() ? kFirstSlots : m_slots.size() * 2;
  const std::vector<Slot> old = std::exchange(m_slots, std::vector<Slot>(size));
  const size_t mask = size - 1;
  for (const Slot& s : old) {
    if (s.entry == nullptr) continue;
    for (size_t probe = 0, i = s.hash & mask; probe < kMaxProbes; ++probe, i = (i + 1) & mask) {
      if (m_slots[i].entry == nullptr) {
        m_slots[i] = s;
        break;
      }
    }
  }
}

}  // namespace QxZebSoap
