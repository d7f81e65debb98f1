// X509CertList: an ordered list of certificates (a chain, the further certificates of a PKCS#12).
#pragma once

#include <list>

#include "qxseccore/Certificate.h"

namespace QxSecCm {

// X509CertList is a standard doubly linked list of QxSecCore::X509Certificate. The library keeps
// its order wherever it reads or writes one: the first certificate in the list is the first
// written, and certificates read are appended at the end in the order they were found.
using X509CertList = std::list<QxSecCore::X509Certificate>;

}  // namespace QxSecCm
