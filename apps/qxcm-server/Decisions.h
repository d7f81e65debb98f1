// Decisions: granting and denying requests, by an administrator or automatically.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Metrics.h"
#include "ServerIdentity.h"
#include "Store.h"
#include "qxseccm/CertificateBuilder.h"

namespace QxCmServer {

// Decisions turns a decision on a pending request into the node's response message and stores
// both at once (Store::Grant, Store::Deny), then calls changed. Grant issues the certificate
// from the request's CSR with the builder (serial file, NOT_BEFORE_OFFSET) under the CA of
// identity; the response carries it with the trusted certificates (the CA first). Decisions
// are made one at a time, so two grants of one request never both draw a serial number.
// Each decision is counted in metrics. Store, identity and metrics must outlive this object.
class Decisions {
 public:
  Decisions(Store& store, const ServerIdentity& identity, Metrics& metrics,
            std::function<void()> changed);

  // Failed hears of a request whose certificate could not be issued; the request stays pending.
  using Failed = std::function<void(const std::string& id, std::exception_ptr error)>;

  // Grant grants request id as actor. Returns false (nothing changed) when id is not pending.
  // Throws the builder's exceptions for a CSR it refuses, and the store's.
  bool Grant(const std::string& id, const std::string& actor);
  // GrantAll grants requests as actor and stores all the grants in one transaction (one commit
  // for the lot); returns for each whether it was granted. The requests are taken as the caller
  // read them: one that is no longer pending when the grants are stored is not granted. A CSR
  // the builder refuses leaves its request pending and goes to failed; a store failure is
  // thrown.
  std::vector<bool> GrantAll(const std::vector<Request>& requests, const std::string& actor,
                             const Failed& failed);
  // Prepare issues, as actor, the certificate of each of requests that include accepts and the
  // response carrying it, for the caller to store (Store::Grant, Store::Commit), with the
  // position of each grant's request; a CSR the builder refuses goes to failed and has no grant.
  struct Prepared {
    std::vector<Issue> grants;
    std::vector<size_t> positions;  // of each grant's request in requests
    // ByRequest returns, for each of count requests, whether its grant was stored: stored holds
    // the store's answer for each grant.
    std::vector<bool> ByRequest(const std::vector<bool>& stored, size_t count) const;
  };
  Prepared Prepare(const std::vector<Request>& requests,
                   const std::function<bool(const Request&)>& include, const std::string& actor,
                   const Failed& failed);
  // Stored counts the grants that a commit stored (stored: the store's answer for each) for a
  // grant begun at start, and calls changed when there are any.
  void Stored(const std::vector<bool>& stored, std::chrono::steady_clock::time_point start);
  // Deny denies request id as actor; false when id is not pending.
  bool Deny(const std::string& id, const std::string& actor);

  // HexSerial returns serial in upper-case hexadecimal without leading zeros.
  static std::string HexSerial(uint32_t serial);

 private:
  std::optional<Request> Pending(const std::string& id);

  Store& m_store;
  const ServerIdentity& m_identity;
  Metrics& m_metrics;
  std::function<void()> m_changed;
  QxSecCm::CertificateBuilder_ex m_builder;
  std::mutex m_mutex;       // the builder's
  std::mutex m_grantMutex;  // a decision's, from reading the request to its commit
};

}  // namespace QxCmServer
