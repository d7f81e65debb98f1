// Child element names of the structured SOAP arguments with their parse states, one list per
// record in writing order. Writers walk a list; parsers look a name up in the same list, so the
// two can never disagree.
#pragma once

#include <cstdint>
#include <span>

#include "qxmox/String.h"

namespace QxSecCm::SoapNames {

// Parse states shared by every argument.
inline constexpr int32_t kOutside = 0;
inline constexpr int32_t kInside = 1;

struct Child {
  int32_t state;
  const char* name;
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
inline constexpr const char* kEventRequestName = "certrequest";
inline constexpr const char* kEventRequestName_ex = "certrequest_ex";

// Collection and list states.
inline constexpr int32_t kItem = 2;
inline constexpr const char* kCollectionItem = "cr";
inline constexpr const char* kListItem = "li";

// Find returns the entry named name, or null.
inline const Child* Find(std::span<const Child> children, const QxMoxStr::String_t& name) {
  for (const Child& c : children) {
    if (name == QxMoxStr::String_t(c.name)) return &c;
  }
  return nullptr;
}

// NameOf returns the name of the entry with state, or "".
constexpr const char* NameOf(std::span<const Child> children, int32_t state) {
  for (const Child& c : children) {
    if (c.state == state) return c.name;
  }
  return "";
}

// IsNested is true for a state whose child a nested argument fills.
inline bool IsNested(std::span<const Child> children, int32_t state) {
  for (const Child& c : children) {
    if (c.state == state) return c.nested;
  }
  return false;
}

}  // namespace QxSecCm::SoapNames
