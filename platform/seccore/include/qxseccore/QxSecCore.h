// The security core: every public header of libqxseccore.
#pragma once

#include "qxseccore/Certificate.h"
#include "qxseccore/Cipher.h"
#include "qxseccore/CipherStream.h"
#include "qxseccore/Exceptions.h"
#include "qxseccore/Key.h"
#include "qxseccore/KeyStore.h"
#include "qxseccore/StringCollection.h"
#include "qxseccore/Uuid.h"
