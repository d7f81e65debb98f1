// Platform (handle) and PlatformImpl (body): the operating system and processor of a node.
#pragma once

#include <cstdint>

#include "qxmox/RefCounted.h"
#include "qxmox/Runtime.h"
#include "qxmox/String.h"
#include "qxseccm/Object.h"

namespace QxSecCm {

class PlatformImpl;

// PlatformTraits names the body and the class name of the Platform handle.
struct PlatformTraits {
  using Body = PlatformImpl;
  static constexpr const char* kClassName = "Platform";
};

// Platform is a value handle for a platform record: an operating-system type with three version
// numbers and a processor type, carrying the runtime's QxMoxRuntime::Platform_t numbering
// unchanged. A new Platform has a body of its own with all five values 0. Copies share the body;
// equality is body identity. Every member of a handle without body (one emptied through its
// Object base) throws QxMoxMsg::IllegalStateError_t with the text "Platform", traced on the
// server side.
class Platform : public BodyHandle<PlatformTraits, ExceptionTracer::Server> {
 public:
  using OSType_e = QxMoxRuntime::Platform_t::OSType_e;
  using CPU_e = QxMoxRuntime::Platform_t::CPU_e;

  // Platform() creates a new body (all values 0) and holds the only reference to it.
  Platform();
  Platform(const Platform&) = default;
  Platform& operator=(const Platform&) = default;
  // ~Platform releases this handle's share of the body.
  ~Platform() override;

  // GetType returns the operating-system type (0: none known).
  OSType_e GetType() const;
  // GetVers1, GetVers2 and GetVers3 return the operating system's version numbers.
  int GetVers1() const;
  int GetVers2() const;
  int GetVers3() const;
  // GetCPUType returns the processor type (0: none known).
  CPU_e GetCPUType() const;
  // GetTypeCode and GetCPUTypeCode return the stored types as plain 32-bit numbers. A record
  // read from the network may hold any number, also one outside the runtime's enumerations;
  // code that passes the values on (streams, SOAP) uses these.
  int32_t GetTypeCode() const;
  int32_t GetCPUTypeCode() const;

  // ToString returns one line: the operating system's display name; when the type is not 0, a
  // blank and "<vers1>.<vers2>", followed by ".<vers3>" when vers3 is above 0; then ", CPU: "
  // and the processor's display name. Display names are the runtime's one-word names
  // (Platform_t::OSTypeName, CPUName); a number without one gives "Unknown". Examples:
  // "Linux 6.1.12, CPU: x86_64", "Unknown, CPU: Unknown".
  QxMoxStr::String_t ToString() const;

  // operator-> (from BodyHandle) returns the body, whose setters fill the record. It throws
  // IllegalStateError_t ("Platform") on a handle without body rather than handing out a null
  // pointer.
};

// PlatformImpl is the body of a Platform. It holds five 32-bit values (operating-system type,
// three version numbers, processor type), all 0 when new. It has no lock: a body shared by
// several handles must not be written by one thread while another reads it. The setters store
// any value unchanged.
class PlatformImpl : public QxMoxRef::RefCounted_t {
 public:
  using OSType_e = QxMoxRuntime::Platform_t::OSType_e;
  using CPU_e = QxMoxRuntime::Platform_t::CPU_e;

  PlatformImpl() = default;
  ~PlatformImpl() override;
  // DestroyThis deletes the body; the last handle calls it.
  void DestroyThis() override;

  void SetType(const OSType_e& type);
  void SetVers1(int vers1);
  void SetVers2(int vers2);
  void SetVers3(int vers3);
  void SetCPUType(const CPU_e& cpuType);
  // SetTypeCode and SetCPUTypeCode store a type given as a plain number (as read from a
  // stream), also one the runtime's enumerations do not name.
  void SetTypeCode(int32_t type);
  void SetCPUTypeCode(int32_t cpuType);

  int32_t GetTypeCode() const { return m_type; }
  int GetVers1() const { return m_vers1; }
  int GetVers2() const { return m_vers2; }
  int GetVers3() const { return m_vers3; }
  int32_t GetCPUTypeCode() const { return m_cpuType; }

  // GetCurrentPlatform returns a new Platform (a body of its own, nothing cached) filled from
  // the runtime's description of this machine (QxMoxRuntime::Platform_t). Exceptions of the
  // runtime propagate and the new platform is released.
  static Platform GetCurrentPlatform();

 private:
  // The types are kept as numbers: a value read from the network need not be one of the
  // runtime's enumerators, and only the numbers travel.
  int32_t m_type = 0;
  int32_t m_vers1 = 0;
  int32_t m_vers2 = 0;
  int32_t m_vers3 = 0;
  int32_t m_cpuType = 0;
};

}  // namespace QxSecCm
