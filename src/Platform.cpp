// Platform: the handle of a platform record and its one-line text.
#include "qxseccm/Platform.h"

#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

Platform::Platform() { SetBody(new PlatformImpl); }

Platform::~Platform() = default;

PlatformImpl& Platform::Body() const {
  QXSECCM_CHECK_HANDLE(m_ref, "Platform", ExceptionTracer::Server);
  return *static_cast<PlatformImpl*>(m_ref);
}

PlatformImpl* Platform::operator->() const { return &Body(); }

Platform::OSType_e Platform::GetType() const { return static_cast<OSType_e>(Body().GetTypeCode()); }

int Platform::GetVers1() const { return Body().GetVers1(); }

int Platform::GetVers2() const { return Body().GetVers2(); }

int Platform::GetVers3() const { return Body().GetVers3(); }

Platform::CPU_e Platform::GetCPUType() const { return static_cast<CPU_e>(Body().GetCPUTypeCode()); }

int32_t Platform::GetTypeCode() const { return Body().GetTypeCode(); }

int32_t Platform::GetCPUTypeCode() const { return Body().GetCPUTypeCode(); }

QxMoxStr::String_t Platform::ToString() const {
  using QxMoxRuntime::Platform_t;
  const PlatformImpl& body = Body();
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
