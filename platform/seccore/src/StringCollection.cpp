// StringCollection: the checked accessors.
#include "qxseccore/StringCollection.h"

#include "qxmox/Exception.h"

namespace QxSecCore {

const QxMoxStr::String_t& StringCollection::GetCurrent() const {
  if (IsAtEnd()) QxMoxMsg::ThrowIllegalState("StringCollection: cursor at the end");
  return m_items[m_pos];
}

const QxMoxStr::String_t& StringCollection::GetAt(size_t index) const {
  if (index >= m_items.size()) {
    QxMoxMsg::ThrowIllegalArgument("StringCollection: index past the end");
  }
  return m_items[index];
}

}  // namespace QxSecCore
