// Platform: the handle of a platform record and its one-line text.
#include "qxseccm/Platform.h"

#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

Platform::Platform() = default;

Platform::~Platform() = default;

Platform::OSType_e Platform::GetType() const {
  return static_cast<OSType_e>(GetBody().GetTypeCode());
}

int Platform::GetVers1() const { return GetBody().GetVers1(); }

int Platform::GetVers2() const { return GetBody().GetVers2(); }

int Platform::GetVers3() const { return GetBody().GetVers3(); }

Platform::CPU_e Platform::GetCPUType() const {
  return static_cast<CPU_e>(GetBody().GetCPUTypeCode());
}

int32_t Platform::GetTypeCode() const { return GetBody().GetTypeCode(); }

int32_t Platform::GetCPUTypeCode() const { return GetBody().GetCPUTypeCode(); }

QxMoxStr::String_t Platform::ToString() const {
  using QxMoxRuntime::Platform_t;
  const PlatformImpl& body = GetBody();
  QxMoxStr::String_t text(Platform_t::OSTypeName(body.GetTypeCode()));
  if (body.GetTypeCode() != 0) {
    text += " ";
    text += QxMoxStr::NumToStr(body.GetVers1());
    text += ".";
    text += QxMoxStr::NumToStr(body.GetVers2());
    if (body.GetVers3() > 0) {
      text += ".";
      text += QxMoxStr::NumToStr(body.GetVers3());
    }
  }
  text += ", CPU: ";
  text += Platform_t::CPUName(body.GetCPUTypeCode());
  return text;
}

}  // namespace QxSecCm
