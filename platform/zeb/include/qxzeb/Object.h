// The messaging library's handle base (QxZebCore::Object).
#pragma once

#include <memory>

namespace QxZebCore {

// ObjectBody is the shared body behind a handle; concrete bodies derive from it.
class ObjectBody {
 public:
  virtual ~ObjectBody() = default;
};

// Object is a handle: copies share one body, which lives until the last handle lets go. A
// default-built handle is null.
class Object {
 public:
  Object() = default;
  virtual ~Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
  Object(Object&&) noexcept = default;
  Object& operator=(Object&&) noexcept = default;
  // IsNull is true for a handle without a body.
  bool IsNull() const { return !m_body; }

 protected:
  explicit Object(std::shared_ptr<ObjectBody> body) : m_body(std::move(body)) {}
  // Body returns the body as T; callers check IsNull first.
  template <class T>
  T* Body() const {
    return static_cast<T*>(m_body.get());
  }
  // RequireBody returns the body as T; throws QxMoxMsg::IllegalStateError_t for a null handle.
  template <class T>
  T& RequireBody() const {
    CheckNotNull();
    return *static_cast<T*>(m_body.get());
  }
  const std::shared_ptr<ObjectBody>& GetBodyPtr() const { return m_body; }

 private:
  void CheckNotNull() const;
  std::shared_ptr<ObjectBody> m_body;
};

}  // namespace QxZebCore
