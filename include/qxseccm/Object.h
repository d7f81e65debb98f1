// Object (the handle base of every public class) and ObjectImpl (the counted body base).
#pragma once

#include "qxmox/RefCounted.h"
#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

// ObjectImpl is the base of the library's counted bodies. A new body starts with count 0; the
// first handle that takes it raises the count to 1. DestroyThis releases the body when its last
// handle lets go; each concrete body implements it, normally by deleting itself.
class ObjectImpl : public QxMoxRef::RefCounted_t {
 public:
  ObjectImpl() = default;
  ~ObjectImpl() override;
  void DestroyThis() override = 0;
};

// Object is a handle in front of a counted body (any QxMoxRef::RefCounted_t). Copies share the
// body; the body is released (DestroyThis) when the last handle sharing it is destroyed or
// reassigned. Handles may be copied and destroyed on different threads; the body's own data is
// not protected by the handle.
class Object {
 public:
  // Object() is an empty handle.
  Object() noexcept = default;
  // Object(other) shares other's body (count + 1).
  Object(const Object& other) noexcept;
  // operator= does nothing for self-assignment; otherwise it raises the count of other's body,
  // then releases this handle's old body, then shares other's body.
  Object& operator=(const Object& other) noexcept;
  // ~Object releases the body; a failure inside the body's DestroyThis is swallowed.
  virtual ~Object();

  // operator== compares body identity, not content; two empty handles are equal.
  bool operator==(const Object& other) const { return m_ref == other.m_ref; }
  bool operator!=(const Object& other) const { return m_ref != other.m_ref; }
  // IsNull is true for an empty handle.
  bool IsNull() const { return m_ref == nullptr; }
  // operator-> returns the body as it is: null for an empty handle (no check).
  QxMoxRef::RefCounted_t* operator->() const { return m_ref; }

 protected:
  // SetBody makes this handle share body (which may be null) by the assignment rule: a handle's
  // constructor passes its new body here and so holds the only reference.
  void SetBody(QxMoxRef::RefCounted_t* body) noexcept;

  QxMoxRef::RefCounted_t* m_ref = nullptr;
};

// BodyHandle is the base of a handle class whose counted body is Traits::Body. Its constructor
// gives the handle a new body of its own; GetBody and operator-> return the body and, on a handle
// without body, throw QxMoxMsg::IllegalStateError_t whose text is Traits::kClassName, traced on
// side Side. The body type need only be complete where these members are used.
template <class Traits, ExceptionTracer::E Side>
class BodyHandle : public Object {
 public:
  using Body = typename Traits::Body;

  // operator-> returns the body; it throws rather than handing out a null pointer.
  Body* operator->() const { return &GetBody(); }

 protected:
  BodyHandle() { SetBody(new Body); }
  // BodyHandle(body) takes body, made by the derived handle's constructor, as its own.
  explicit BodyHandle(Body* body) { SetBody(body); }

  Body& GetBody() const {
    QXSECCM_CHECK_HANDLE(m_ref, Traits::kClassName, Side);
    return *static_cast<Body*>(m_ref);
  }
};

}  // namespace QxSecCm
