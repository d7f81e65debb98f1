// ServerOptionsT: where the certificate server's proxy and an observer find the server.
#pragma once

#include <memory>

#include "qxmox/String.h"

namespace QxSecCm {

// ServerOptionsImplT is the body of ServerOptionsT: the server's host name (with an optional
// ":port"), default "localhost", and the id the server's certificate must name, default empty.
// Traits names its trace blocks (kConstructor, kDestructor, kSetHostname, kSetTargetId).
template <class Traits>
class ServerOptionsImplT {
 public:
  ServerOptionsImplT();
  ~ServerOptionsImplT();
  ServerOptionsImplT(const ServerOptionsImplT&) = default;
  ServerOptionsImplT& operator=(const ServerOptionsImplT&) = default;

  void SetHostname(const QxMoxStr::String_t& hostname);
  void SetTargetId(const QxMoxStr::String_t& targetId);

  QxMoxStr::String_t hostname;
  QxMoxStr::String_t targetId;
};

// ServerOptionsT is a value handle owning one ServerOptionsImplT: copies copy both strings, and
// the setters return the options for chaining.
template <class Traits>
class ServerOptionsT {
 public:
  ServerOptionsT() : m_body(std::make_unique<ServerOptionsImplT<Traits>>()) {}
  ServerOptionsT(const ServerOptionsT& other)
      : m_body(std::make_unique<ServerOptionsImplT<Traits>>(*other.m_body)) {}
  ServerOptionsT& operator=(const ServerOptionsT& other) {
    if (this != &other) *m_body = *other.m_body;
    return *this;
  }
  ~ServerOptionsT() = default;

  ServerOptionsT& SetHostname(const QxMoxStr::String_t& hostname) {
    m_body->SetHostname(hostname);
    return *this;
  }
  ServerOptionsT& SetTargetId(const QxMoxStr::String_t& targetId) {
    m_body->SetTargetId(targetId);
    return *this;
  }
  const QxMoxStr::String_t& GetHostname() const { return m_body->hostname; }
  const QxMoxStr::String_t& GetTargetId() const { return m_body->targetId; }

 private:
  std::unique_ptr<ServerOptionsImplT<Traits>> m_body;
};

// The trace names of the four options classes.
struct CertificateServerOptionsTraits {
  static constexpr const char* kConstructor = "CertificateServer::OptionsImpl::OptionsImpl()";
  static constexpr const char* kDestructor = "CertificateServer::OptionsImpl::~OptionsImpl()";
  static constexpr const char* kSetHostname = "CertificateServer::OptionsImpl::SetHostname()";
  static constexpr const char* kSetTargetId = "CertificateServer::OptionsImpl::SetTargetId()";
};
struct CertificateServerOptionsTraits_ex {
  static constexpr const char* kConstructor =
      "CertificateServer_ex::OptionsImpl_ex::OptionsImpl_ex()";
  static constexpr const char* kDestructor =
      "CertificateServer_ex::OptionsImpl_ex::~OptionsImpl_ex()";
  static constexpr const char* kSetHostname = "CertificateServer_ex::OptionsImpl_ex::SetHostname()";
  static constexpr const char* kSetTargetId = "CertificateServer_ex::OptionsImpl_ex::SetTargetId()";
};
struct ObserverOptionsTraits {
  static constexpr const char* kConstructor = "Observer::OptionsImpl::OptionsImpl()";
  static constexpr const char* kDestructor = "Observer::OptionsImpl::~OptionsImpl()";
  static constexpr const char* kSetHostname = "Observer::OptionsImpl::SetHostname(";
  static constexpr const char* kSetTargetId = "Observer::OptionsImpl::SetTargetId(";
};
struct ObserverOptionsTraits_ex {
  static constexpr const char* kConstructor = "Observer_ex::OptionsImpl_ex::OptionsImpl_ex()";
  static constexpr const char* kDestructor = "Observer_ex::OptionsImpl_ex::~OptionsImpl_ex()";
  static constexpr const char* kSetHostname = "Observer_ex::OptionsImpl_ex::SetHostname(";
  static constexpr const char* kSetTargetId = "Observer_ex::OptionsImpl_ex::SetTargetId(";
};

extern template class ServerOptionsImplT<CertificateServerOptionsTraits>;
extern template class ServerOptionsImplT<CertificateServerOptionsTraits_ex>;
extern template class ServerOptionsImplT<ObserverOptionsTraits>;
extern template class ServerOptionsImplT<ObserverOptionsTraits_ex>;

}  // namespace QxSecCm
