// The security core's own exceptions.
#pragma once

#include "qxmox/Exception.h"

namespace QxSecCore {

// AlreadyInstalledException: KeyStore::InstallCertificate found an entry under the alias and
// was not asked to replace it. The key store is unchanged.
QX_MOX_EXCEPTION(AlreadyInstalledException, QxMoxMsg::RuntimeException_t)

// NoSuchEntryException: the key store holds no entry of the asked kind under the alias
// (GetCertificate, GetPrivateKey).
QX_MOX_EXCEPTION(NoSuchEntryException, QxMoxMsg::RuntimeException_t)

}  // namespace QxSecCore
