#include "qxzeb/Object.h"

#include "qxmox/Exception.h"

namespace QxZebCore {

void Object::CheckNotNull() const {
  if (!m_body) QxMoxMsg::ThrowIllegalState("operation on a null messaging handle");
}

}  // namespace QxZebCore
