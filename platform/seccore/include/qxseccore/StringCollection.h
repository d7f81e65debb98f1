// StringCollection: an ordered list of texts with a cursor.
#pragma once

#include <cstddef>
#include <vector>

#include "qxmox/String.h"

namespace QxSecCore {

// StringCollection keeps texts in the order added, with a cursor for walking them:
//   for (c.MoveFirst(); !c.IsAtEnd(); c.Next()) use(c.GetCurrent());
// Not safe for concurrent use of one object.
class StringCollection {
 public:
  // Add appends text; the cursor does not move.
  void Add(const QxMoxStr::String_t& text) { m_items.push_back(text); }
  // MoveFirst puts the cursor on the first text (at the end when empty).
  void MoveFirst() { m_pos = 0; }
  // IsAtEnd is true when the cursor is past the last text.
  bool IsAtEnd() const { return m_pos >= m_items.size(); }
  // GetCurrent returns the text under the cursor; throws QxMoxMsg::IllegalStateError_t at the
  // end.
  const QxMoxStr::String_t& GetCurrent() const;
  // Next moves the cursor one text on (it stays at the end once there).
  void Next() {
    if (m_pos < m_items.size()) ++m_pos;
  }
  size_t GetCount() const { return m_items.size(); }
  // GetAt returns text number index; throws QxMoxMsg::IllegalArgumentError_t past the end.
  const QxMoxStr::String_t& GetAt(size_t index) const;
  // Clear removes every text and puts the cursor at the (empty) start.
  void Clear() {
    m_items.clear();
    m_pos = 0;
  }

 private:
  std::vector<QxMoxStr::String_t> m_items;
  size_t m_pos = 0;
};

}  // namespace QxSecCore
