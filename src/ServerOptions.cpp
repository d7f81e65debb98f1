// ServerOptions: the bodies of the proxy's and the observer's options, written once.
#include "qxseccm/ServerOptions.h"

#include "TraceMacros.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace {

QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetServerTracerProc(); }

}  // namespace

template <class Traits>
ServerOptionsImplT<Traits>::ServerOptionsImplT() : hostname("localhost"), targetId("") {
  QXSECCM_BLOCK(ProcTracer(), Traits::kConstructor);
}

template <class Traits>
ServerOptionsImplT<Traits>::~ServerOptionsImplT() {
  QXSECCM_BLOCK(ProcTracer(), Traits::kDestructor);
}

template <class Traits>
void ServerOptionsImplT<Traits>::SetHostname(const QxMoxStr::String_t& value) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kSetHostname);
  hostname = value;
}

template <class Traits>
void ServerOptionsImplT<Traits>::SetTargetId(const QxMoxStr::String_t& value) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kSetTargetId);
  targetId = value;
}

template class ServerOptionsImplT<CertificateServerOptionsTraits>;
template class ServerOptionsImplT<CertificateServerOptionsTraits_ex>;
template class ServerOptionsImplT<ObserverOptionsTraits>;
template class ServerOptionsImplT<ObserverOptionsTraits_ex>;

}  // namespace QxSecCm
