// Child element names of the structured SOAP arguments with their parse states, one list per
// record in writing order. Writers walk a list; parsers look a name up in the same list, so the
// two can never disagree.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "qxmox/String.h"

namespace QxSecCm::SoapNames {

// Parse states shared by every argument.
inline constexpr int32_t kOutside = 0;
inline constexpr int32_t kInside = 1;

struct Child {
  int32_t state;
  std::string_view name;
  bool nested;  // filled by a nested argument, which stores the value itself
};

// Request states.
inline constexpr int32_t kId = 2, kContext = 3, kCN = 4, kNodename = 5, kIPAddress = 6,
                         kPeerAddress = 7, kPlatform = 8, kIType = 9, kTimeReceived = 10;
inline constexpr Child kRequest[] = {
    {kId, "id", false},
    {kContext, "context", false},
    {kCN, "cn", false},
    {kNodename, "nodename", false},
    {kIPAddress, "ipaddress", false},
    {kPlatform, "platform", true},
    {kIType, "itype", false},
    {kTimeReceived, "timeReceived", true},
    {kPeerAddress, "peeraddress", false},
};

// Platform states.
inline constexpr int32_t kOS = 2, kMaj = 3, kMin = 4, kSub = 5, kCPU = 6;
inline constexpr Child kPlatformChildren[] = {
    {kOS, "os", false},   {kMaj, "maj", false}, {kMin, "min", false},
    {kSub, "sub", false}, {kCPU, "cpu", false},
};

// Event states; the nested request's name is chosen per argument (plain or _ex).
inline constexpr int32_t kType = 2, kInfo = 3, kEventRequest = 4;
inline constexpr Child kEvent[] = {
    {kType, "type", false},
    {kInfo, "info", false},
};
inline constexpr std::string_view kEventRequestName = "certrequest";
inline constexpr std::string_view kEventRequestName_ex = "certrequest_ex";

// Collection and list states.
inline constexpr int32_t kItem = 2;
inline constexpr std::string_view kCollectionItem = "cr";
inline constexpr std::string_view kListItem = "li";

// IsName compares a received name with one of the ASCII names above unit by unit: parsers test
// every tag against these lists, and decoding the list's names for each test would cost more
// than the rest of the parse.
inline bool IsName(const QxMoxStr::String_t& name, std::string_view ascii) {
  const std::u16string& units = name.Str();
  return !name.IsNull() && std::equal(units.begin(), units.end(), ascii.begin(), ascii.end(),
                                      [](char16_t u, char c) { return u == char16_t(c); });
}

// Find returns the entry named name, or null. The search starts at hint and leaves it at the
// entry after the match: children arrive in writing order, so the first comparison usually
// succeeds (searching from the front mispredicted a branch on most tags of long lists).
inline const Child* Find(std::span<const Child> children, const QxMoxStr::String_t& name,
                         size_t& hint) {
  size_t i = hint < children.size() ? hint : 0;
  for (size_t tried = 0; tried < children.size(); ++tried) {
    if (IsName(name, children[i].name)) {
      hint = i + 1;
      return &children[i];
    }
    i = i + 1 < children.size() ? i + 1 : 0;
  }
  return nullptr;
}

// NameOf returns the name of the entry with state, or "".
constexpr std::string_view NameOf(std::span<const Child> children, int32_t state) {
  for (const Child& c : children) {
    if (c.state == state) return c.name;
  }
  return "";
}

// Names of the nested arguments a request argument builds.
inline constexpr std::string_view kPlatformName = NameOf(kRequest, kPlatform);
inline constexpr std::string_view kTimeReceivedName = NameOf(kRequest, kTimeReceived);

// Text returns a name as a String_t decoded once per process: a list argument builds an item
// argument per received record, and decoding the names each time showed in profiles.
template <const std::string_view& kName>
const QxMoxStr::String_t& Text() {
  static const QxMoxStr::String_t text(kName);
  return text;
}

// IsNested is true for a state whose child a nested argument fills.
inline bool IsNested(std::span<const Child> children, int32_t state) {
  for (const Child& c : children) {
    if (c.state == state) return c.nested;
  }
  return false;
}

}  // namespace QxSecCm::SoapNames
