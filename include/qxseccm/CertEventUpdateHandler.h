// CertEventUpdateHandler and CertEventUpdateHandler_ex: the callback interfaces through which an
// observing tool receives certificate events.
#pragma once

#include "qxseccm/CertEvent.h"

namespace QxSecCm {

// CertEventUpdateHandlerT is the callback interface for events of type EventT;
// CertEventUpdateHandler and CertEventUpdateHandler_ex are its two instantiations. A tool derives
// from one and registers its handler with an observer, which calls Update once per received
// event, one event at a time. The handler is owned by the tool; it must outlive its
// registration.
template <class EventT>
class CertEventUpdateHandlerT {
 public:
  // Update receives one event; the handle may be kept (it shares the event).
  virtual void Update(const EventT& event) = 0;
  virtual ~CertEventUpdateHandlerT() = default;

 protected:
  CertEventUpdateHandlerT() = default;
  CertEventUpdateHandlerT(const CertEventUpdateHandlerT&) = default;
  CertEventUpdateHandlerT& operator=(const CertEventUpdateHandlerT&) = default;
};

// CertEventUpdateHandler receives CertEvent events.
class CertEventUpdateHandler : public CertEventUpdateHandlerT<CertEvent> {};

// CertEventUpdateHandler_ex receives CertEvent_ex events.
class CertEventUpdateHandler_ex : public CertEventUpdateHandlerT<CertEvent_ex> {};

}  // namespace QxSecCm
