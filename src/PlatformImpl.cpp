// PlatformImpl: the body of a platform record and the platform of the running machine.
#include "qxseccm/Platform.h"

namespace QxSecCm {

PlatformImpl::~PlatformImpl() = default;

void PlatformImpl::DestroyThis() { delete this; }

void PlatformImpl::SetType(const OSType_e& type) { m_type = static_cast<int32_t>(type); }

void PlatformImpl::SetVers1(int vers1) { m_vers1 = vers1; }

void PlatformImpl::SetVers2(int vers2) { m_vers2 = vers2; }

void PlatformImpl::SetVers3(int vers3) { m_vers3 = vers3; }

void PlatformImpl::SetCPUType(const CPU_e& cpuType) { m_cpuType = static_cast<int32_t>(cpuType); }

void PlatformImpl::SetTypeCode(int32_t type) { m_type = type; }

void PlatformImpl::SetCPUTypeCode(int32_t cpuType) { m_cpuType = cpuType; }

Platform PlatformImpl::GetCurrentPlatform() {
  Platform platform;
  const QxMoxRuntime::Platform_t machine;
  platform->SetTypeCode(machine.GetType());
  platform->SetVers1(machine.GetVers1());
  platform->SetVers2(machine.GetVers2());
  platform->SetVers3(machine.GetVers3());
  platform->SetCPUTypeCode(machine.GetCPUType());
  return platform;
}

}  // namespace QxSecCm
