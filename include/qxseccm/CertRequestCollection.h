// CertRequestCollection and CertRequestCollection_ex (handles) with their bodies: ordered lists of
// certificate request records with one built-in cursor.
#pragma once

#include <cstdint>
#include <list>

#include "qxseccm/CertRequest.h"
#include "qxseccm/Object.h"

namespace QxSecCm {

class CertRequestCollectionImpl;
class CertRequestCollectionImpl_ex;

// CertRequestCollectionTraits and CertRequestCollectionTraits_ex are what differs between the
// two twins of the collection: the record type, the named body class and the class name an
// empty handle reports.
struct CertRequestCollectionTraits {
  using Request = CertRequest;
  using Body = CertRequestCollectionImpl;
  static constexpr const char* kClassName = "CertRequestCollection";
};

struct CertRequestCollectionTraits_ex {
  using Request = CertRequest_ex;
  using Body = CertRequestCollectionImpl_ex;
  static constexpr const char* kClassName = "CertRequestCollection_ex";
};

// CertRequestCollectionT is the handle of a request collection; CertRequestCollection and
// CertRequestCollection_ex are its two instantiations. The collection holds handles sharing the
// added records (it never copies a record's content), in insertion order, and one cursor that is
// either on an element or at the end. Copies of a handle share the elements and the cursor:
// Next() through one copy moves the cursor that every copy sees. All members are const because
// they change the shared body, not the handle. No lock: one thread at a time.
//
// Cursor rules:
// - A new collection has its cursor at the end. The first Add ever made places the cursor on
//   that first element (so a filled collection can be read without MoveFirst); later Adds never
//   move the cursor, and a cursor at the end stays there. The first-add flag is never set again,
//   not by Clear either.
// - Removing the element under the cursor (Remove, RemoveCurrent) moves the cursor to the
//   element after it, or to the end.
// - Clear removes every element and puts the cursor at the end, so no later operation can reach
//   a removed element.
//
// Every member of a handle without body throws QxMoxMsg::IllegalStateError_t with the text
// "CertRequestCollection" (resp. "CertRequestCollection_ex"), traced on the client side.
template <class Traits>
class CertRequestCollectionT : public BodyHandle<Traits, ExceptionTracer::Client> {
 public:
  using Request = typename Traits::Request;
  using Body = typename Traits::Body;

  CertRequestCollectionT(const CertRequestCollectionT&) = default;
  CertRequestCollectionT& operator=(const CertRequestCollectionT&) = default;
  // ~CertRequestCollectionT releases this handle's share of the collection; the last one
  // releases the collection's share of each record.
  ~CertRequestCollectionT() override;

  // Add appends a handle sharing request (the same record may be added more than once); the
  // first Add ever made also places the cursor on the first element. Exhausted memory
  // propagates and leaves the collection unchanged.
  void Add(const Request& request) const;
  // Remove removes every element that is the same record as request (identity, not content)
  // and returns how many were removed (0 when none).
  int Remove(const Request& request) const;
  // RemoveCurrent removes the element under the cursor and moves the cursor to the next one;
  // at the end it does nothing.
  void RemoveCurrent() const;
  // Clear removes all elements and puts the cursor at the end.
  void Clear() const;
  // MoveFirst puts the cursor on the first element (the end when empty).
  void MoveFirst() const;
  // Next moves the cursor to the next element; at the end it does nothing.
  void Next() const;
  bool IsAtEnd() const;
  // GetCurrent returns a handle sharing the record under the cursor; at the end, a new record
  // with default values (never an empty handle).
  Request GetCurrent() const;
  bool IsEmpty() const;
  int Size() const;

  // operator-> (from BodyHandle) returns the body; it throws IllegalStateError_t on a handle
  // without body.

 protected:
  // CertRequestCollectionT() creates a new, empty collection; the named twins are the handles
  // to create.
  CertRequestCollectionT() = default;

 private:
  using BodyHandle<Traits, ExceptionTracer::Client>::GetBody;
};

// CertRequestCollectionImplT is the body of a request collection; CertRequestCollectionImpl and
// CertRequestCollectionImpl_ex are its two instantiations. Its members behave as the handle's of
// the same name.
template <class Traits>
class CertRequestCollectionImplT : public ObjectImpl {
 public:
  using Request = typename Traits::Request;

  CertRequestCollectionImplT();
  ~CertRequestCollectionImplT() override;
  // DestroyThis deletes the body; the last handle calls it.
  void DestroyThis() override;

  void Add(const Request& request);
  int Remove(const Request& request);
  void RemoveCurrent();
  void Clear();
  void MoveFirst();
  void Next();
  bool IsAtEnd() const;
  Request GetCurrent() const;
  bool IsEmpty() const;
  int Size() const;

 private:
  using List = std::list<Request>;

  int32_t m_firstAdd = 1;
  List m_requests;
  // m_cursor is an element of m_requests or its end; list iterators stay valid while other
  // elements come and go, and every erase of the cursor's element moves it first.
  typename List::iterator m_cursor;
};

extern template class CertRequestCollectionT<CertRequestCollectionTraits>;
extern template class CertRequestCollectionT<CertRequestCollectionTraits_ex>;
extern template class CertRequestCollectionImplT<CertRequestCollectionTraits>;
extern template class CertRequestCollectionImplT<CertRequestCollectionTraits_ex>;

// CertRequestCollection is a collection of CertRequest records.
class CertRequestCollection : public CertRequestCollectionT<CertRequestCollectionTraits> {};

// CertRequestCollection_ex is a collection of CertRequest_ex records.
class CertRequestCollection_ex : public CertRequestCollectionT<CertRequestCollectionTraits_ex> {};

// CertRequestCollectionImpl is the body of a CertRequestCollection.
class CertRequestCollectionImpl : public CertRequestCollectionImplT<CertRequestCollectionTraits> {};

// CertRequestCollectionImpl_ex is the body of a CertRequestCollection_ex.
class CertRequestCollectionImpl_ex
    : public CertRequestCollectionImplT<CertRequestCollectionTraits_ex> {};

}  // namespace QxSecCm
