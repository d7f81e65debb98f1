// Request collections of both twins: the cursor rules, removal by identity, Clear and sharing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "qxmox/Exception.h"
#include "qxseccm/CertRequestCollection.h"

using QxMoxStr::String_t;
using QxSecCm::CertRequest;
using QxSecCm::CertRequest_ex;
using QxSecCm::CertRequestCollection;
using QxSecCm::CertRequestCollection_ex;

namespace {

template <class C>
class CollectionTwin : public ::testing::Test {
 protected:
  using Request = typename C::Request;

  static Request Named(const char* id) {
    Request request;
    request->SetId(id);
    return request;
  }

  // Ids walks the collection the way the library does (MoveFirst; GetCurrent, Next until the
  // end) and returns the ids in order.
  static std::string Ids(const C& collection) {
    std::string ids;
    for (collection.MoveFirst(); !collection.IsAtEnd(); collection.Next()) {
      ids += collection.GetCurrent().GetId().ToUtf8();
    }
    return ids;
  }

  static std::string Current(const C& collection) {
    return collection.IsAtEnd() ? "<end>" : collection.GetCurrent().GetId().ToUtf8();
  }

  // IsDefault is true for a record with the values of a new one.
  static bool IsDefault(const Request& request) {
    return !request.IsNull() && request.GetId() == String_t("") &&
           request.GetInstallationType() == Request::IT_NONE && request.GetTimeReceived() == 0;
  }
};

using Twins = ::testing::Types<CertRequestCollection, CertRequestCollection_ex>;
TYPED_TEST_SUITE(CollectionTwin, Twins);

}  // namespace

TYPED_TEST(CollectionTwin, NewCollectionIsEmptyWithItsCursorAtTheEnd) {
  const TypeParam collection;
  EXPECT_TRUE(collection.IsEmpty());
  EXPECT_EQ(collection.Size(), 0);
  EXPECT_TRUE(collection.IsAtEnd());
  const auto current = collection.GetCurrent();
  EXPECT_TRUE(this->IsDefault(current));
  EXPECT_NE(collection.GetCurrent(), current);  // a new record each time
  collection.Next();
  collection.RemoveCurrent();
  EXPECT_TRUE(collection.IsAtEnd());
}

TYPED_TEST(CollectionTwin, FirstAddPlacesTheCursorLaterAddsNever) {
  const TypeParam collection;
  const auto a = this->Named("A");
  collection.Add(a);
  collection.Add(this->Named("B"));
  EXPECT_EQ(collection.GetCurrent(), a);  // shares the record, no copy
  collection.Next();
  EXPECT_EQ(this->Current(collection), "B");
  collection.Next();
  EXPECT_TRUE(collection.IsAtEnd());
  collection.Next();  // at the end: nothing
  EXPECT_TRUE(collection.IsAtEnd());

  collection.Add(this->Named("C"));  // a cursor at the end stays there
  EXPECT_TRUE(collection.IsAtEnd());
  EXPECT_EQ(collection.Size(), 3);
  EXPECT_EQ(this->Ids(collection), "ABC");
  EXPECT_TRUE(collection.IsAtEnd());  // the walk leaves the cursor at the end

  collection.Clear();  // the first-add flag is not set again
  collection.Add(this->Named("D"));
  EXPECT_TRUE(collection.IsAtEnd());
  collection.MoveFirst();
  EXPECT_EQ(this->Current(collection), "D");
}

TYPED_TEST(CollectionTwin, RemoveTakesEveryElementOfThatRecordOnly) {
  const TypeParam collection;
  const auto a = this->Named("A");
  const auto twin = this->Named("A");  // equal content, another record
  collection.Add(a);
  collection.Add(this->Named("B"));
  collection.Add(a);
  collection.Add(twin);
  EXPECT_EQ(collection.Remove(a), 2);
  EXPECT_EQ(this->Ids(collection), "BA");
  collection.MoveFirst();
  collection.Next();
  EXPECT_EQ(collection.GetCurrent(), twin);
  EXPECT_EQ(collection.Remove(a), 0);
  EXPECT_EQ(collection.Remove(this->Named("B")), 0);
  EXPECT_EQ(collection.Size(), 2);

  const TypeParam doubled;
  doubled.Add(a);
  doubled.Add(a);
  EXPECT_EQ(doubled.Remove(a), 2);
  EXPECT_TRUE(doubled.IsEmpty());
  EXPECT_TRUE(doubled.IsAtEnd());
}

TYPED_TEST(CollectionTwin, RemovingTheCurrentElementMovesTheCursorOn) {
  struct Row {
    const char* name;
    std::vector<const char*> ids;  // elements, in order; equal ids are one record
    int cursor;                    // position of the cursor before the removal
    bool removeCurrent;            // RemoveCurrent, else Remove(record under the cursor)
    std::string left;
    std::string current;  // after the removal
  };
  const Row rows[] = {
      {"RemoveCurrent in the middle", {"A", "B", "C"}, 1, true, "AC", "C"},
      {"RemoveCurrent of the last", {"A", "B", "C"}, 2, true, "AB", "<end>"},
      {"RemoveCurrent at the end", {"A", "B"}, 2, true, "AB", "<end>"},
      {"Remove under the cursor", {"A", "B", "C"}, 0, false, "BC", "B"},
      {"Remove of the last under the cursor", {"A", "B"}, 1, false, "A", "<end>"},
      {"Remove of a run under the cursor", {"A", "B", "B", "C", "B"}, 1, false, "AC", "C"},
      {"Remove of a run up to the end", {"A", "B", "B"}, 1, false, "A", "<end>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const TypeParam collection;
    std::vector<typename TestFixture::Request> records;
    for (const char* id : row.ids) {
      auto it = std::find_if(records.begin(), records.end(),
                             [&](const auto& r) { return r.GetId() == String_t(id); });
      if (it == records.end()) {
        records.push_back(this->Named(id));
        it = records.end() - 1;
      }
      collection.Add(*it);
    }
    collection.MoveFirst();
    for (int i = 0; i < row.cursor; ++i) collection.Next();
    if (row.removeCurrent) {
      collection.RemoveCurrent();
    } else {
      collection.Remove(collection.GetCurrent());
    }
    EXPECT_EQ(this->Current(collection), row.current);
    EXPECT_EQ(this->Ids(collection), row.left);
  }
}

TYPED_TEST(CollectionTwin, ClearLeavesNothingReachable) {
  const TypeParam collection;
  const auto a = this->Named("A");
  const auto b = this->Named("B");
  collection.Add(a);
  collection.Add(b);
  collection.Next();  // cursor on B
  EXPECT_EQ(b->GetRefCount(), 2);
  collection.Clear();
  EXPECT_EQ(a->GetRefCount(), 1);  // the collection's shares are released
  EXPECT_EQ(b->GetRefCount(), 1);
  EXPECT_TRUE(collection.IsEmpty());
  EXPECT_EQ(collection.Size(), 0);
  EXPECT_TRUE(collection.IsAtEnd());
  EXPECT_TRUE(this->IsDefault(collection.GetCurrent()));
  collection.Next();
  collection.RemoveCurrent();
  EXPECT_EQ(collection.Remove(b), 0);
  collection.MoveFirst();
  EXPECT_TRUE(collection.IsAtEnd());
}

TYPED_TEST(CollectionTwin, CopiesShareElementsAndCursor) {
  const TypeParam collection;
  const TypeParam copy = collection;
  EXPECT_EQ(copy, collection);
  collection.Add(this->Named("A"));
  copy.Add(this->Named("B"));
  EXPECT_EQ(collection.Size(), 2);
  EXPECT_EQ(this->Current(copy), "A");
  copy.Next();
  EXPECT_EQ(this->Current(collection), "B");
  collection.RemoveCurrent();
  EXPECT_TRUE(copy.IsAtEnd());
  EXPECT_EQ(this->Ids(copy), "A");
}

TYPED_TEST(CollectionTwin, EmptyHandleThrowsIllegalStateNamingTheClass) {
  const std::string name = std::is_same_v<TypeParam, CertRequestCollection>
                               ? "CertRequestCollection"
                               : "CertRequestCollection_ex";
  TypeParam empty;
  static_cast<QxSecCm::Object&>(empty) = QxSecCm::Object();
  const auto request = this->Named("A");
  const auto expectThrow = [&](auto&& call, const char* what) {
    SCOPED_TRACE(what);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const QxMoxMsg::IllegalStateError_t& e) {
      EXPECT_EQ(e.GetMessageList().First().Format().ToUtf8(), name);
    }
  };
  expectThrow([&] { empty.Add(request); }, "Add");
  expectThrow([&] { empty.Remove(request); }, "Remove");
  expectThrow([&] { empty.RemoveCurrent(); }, "RemoveCurrent");
  expectThrow([&] { empty.Clear(); }, "Clear");
  expectThrow([&] { empty.MoveFirst(); }, "MoveFirst");
  expectThrow([&] { empty.Next(); }, "Next");
  expectThrow([&] { empty.IsAtEnd(); }, "IsAtEnd");
  expectThrow([&] { empty.GetCurrent(); }, "GetCurrent");
  expectThrow([&] { empty.IsEmpty(); }, "IsEmpty");
  expectThrow([&] { empty.Size(); }, "Size");
  expectThrow([&] { empty->Size(); }, "operator->");
}
