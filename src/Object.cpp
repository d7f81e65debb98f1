// Object: counting and release of a handle's shared body.
#include "qxseccm/Object.h"

namespace QxSecCm {
namespace {

// A failure inside the body's release must not escape a handle's destructor or assignment.
void Release(QxMoxRef::RefCounted_t* body) noexcept {
  if (body == nullptr) return;
  try {
    if (body->Release() == 0) body->DestroyThis();
  } catch (...) {
  }
}

}  // namespace

Object::Object(const Object& other) noexcept : m_ref(other.m_ref) {
  if (m_ref != nullptr) m_ref->AddRef();
}

Object& Object::operator=(const Object& other) noexcept {
  if (&other != this) SetBody(other.m_ref);
  return *this;
}

Object::~Object() {
  Release(m_ref);
  m_ref = nullptr;
}

void Object::SetBody(QxMoxRef::RefCounted_t* body) noexcept {
  // Raise first: body may be the one this handle already holds.
  if (body != nullptr) body->AddRef();
  QxMoxRef::RefCounted_t* old = m_ref;
  m_ref = body;
  Release(old);
}

}  // namespace QxSecCm
