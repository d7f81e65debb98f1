// Exceptions, the throw trace, the throw helpers and the message catalog.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestHome.h"
#include "qxmox/Trace.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Exceptions.h"
#include "qxseccm/Tracer.h"

namespace {

using QxSecCm::Catalog;
using QxSecCm::ExceptionTracer;
using QxSecCmTrc::Tracer;

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Traces go to a file in the test's home; the seven trace objects start at level 0 and get
// their configured levels back afterwards.
class ThrowTraceTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    setenv("QX_TRACE_FILE", TraceFile().c_str(), 1);
    QxMoxTrc::ReopenSink();
    for (QxMoxTrc::TraceObj_t* obj : All()) obj->SetLevel(0);
  }
  void TearDown() override {
    unsetenv("QX_TRACE_FILE");
    QxMoxTrc::ReopenSink();
    QxMoxTrc::ReloadLevels();
  }
  static std::vector<QxMoxTrc::TraceObj_t*> All() {
    return {&Tracer::GetClientTracerOperation(),
            &Tracer::GetClientTracerInit(),
            &Tracer::GetClientTracerProc(),
            &Tracer::GetServerTracerOperation(),
            &Tracer::GetServerTracerInit(),
            &Tracer::GetServerTracerProc(),
            &Tracer::GetExTracer()};
  }
  std::string TraceFile() const { return home / "throw.log"; }
  std::vector<std::string> TraceLines() const { return ReadLines(TraceFile()); }
};

TEST(TracerObjects, HaveTheirAreasAndCategories) {
  struct Row {
    QxMoxTrc::TraceObj_t& obj;
    const char* area;
    int category;
  };
  const std::vector<Row> rows = {
      {Tracer::GetClientTracerOperation(), "sec.cm.client", 7},
      {Tracer::GetClientTracerInit(), "sec.cm.client", 5},
      {Tracer::GetClientTracerProc(), "sec.cm.client", 3},
      {Tracer::GetServerTracerOperation(), "sec.cm.server", 7},
      {Tracer::GetServerTracerInit(), "sec.cm.server", 5},
      {Tracer::GetServerTracerProc(), "sec.cm.server", 3},
      {Tracer::GetExTracer(), "sec.cm.exception", 2},
  };
  std::set<const QxMoxTrc::TraceObj_t*> distinct;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.area) + ":" + std::to_string(row.category));
    EXPECT_EQ(row.obj.GetArea(), row.area);
    EXPECT_EQ(row.obj.GetCategory(), row.category);
    distinct.insert(&row.obj);
  }
  EXPECT_EQ(distinct.size(), rows.size());
  EXPECT_EQ(&Tracer::GetExTracer(), &Tracer::GetExTracer());
}

TEST_F(ThrowTraceTest, SideSelectsTheTraceObject) {
  struct Row {
    int side;
    const char* area;
  };
  const std::vector<Row> rows = {{1, " sec.cm.client:7 2 "},
                                 {2, " sec.cm.server:7 2 "},
                                 {3, " sec.cm.exception:2 2 "},
                                 {0, " sec.cm.exception:2 2 "},
                                 {-4, " sec.cm.exception:2 2 "}};
  Tracer::GetClientTracerOperation().SetLevel(2);
  Tracer::GetServerTracerOperation().SetLevel(2);
  Tracer::GetExTracer().SetLevel(2);
  const QxMoxMsg::Message_t message = Catalog::Warn(21) << "f.dat";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.side);
    std::filesystem::remove(TraceFile());
    QxMoxTrc::ReopenSink();
    ExceptionTracer::TraceThrow(static_cast<ExceptionTracer::E>(row.side), "RuntimeException_t",
                                message, "/src/Thrower.cpp", 77);
    const std::vector<std::string> lines = TraceLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find(row.area), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" Thrower.cpp:77 Throwing exception 'RuntimeException_t': "
                            "[sec.cm.client:21] Could not open file 'f.dat'."),
              std::string::npos)
        << lines[0];
  }
}

TEST_F(ThrowTraceTest, DisabledObjectWritesNothing) {
  // Level words without bit 2 keep level 2 lines out; other sides' objects do not count.
  Tracer::GetExTracer().SetLevel(0xfffffffd);
  Tracer::GetServerTracerOperation().SetLevel(2);
  Tracer::GetClientTracerInit().SetLevel(2);
  Tracer::GetClientTracerProc().SetLevel(2);
  ExceptionTracer::TraceThrow(ExceptionTracer::Neither, "X", Catalog::Warn(1), "a.cpp", 1);
  ExceptionTracer::TraceThrow(ExceptionTracer::Client, "X", Catalog::Warn(1), "a.cpp", 2);
  EXPECT_TRUE(TraceLines().empty());
}

TEST_F(ThrowTraceTest, ThrowMacroTracesThenThrows) {
  Tracer::GetServerTracerOperation().SetLevel(0xffffffff);
  const int line = __LINE__ + 2;
  try {
    QXSECCM_THROW(QxMoxIo::IOException_t, ExceptionTracer::Server, Catalog::Warn(2) << "bad key");
    FAIL() << "no throw";
  } catch (const QxMoxIo::IOException_t& e) {
    ASSERT_EQ(e.GetMessageList().GetCount(), 1U);
    const QxMoxMsg::Message_t& m = e.GetMessageList().First();
    EXPECT_EQ(m.GetNumber(), 2);
    EXPECT_EQ(m.GetSeverity(), QxMoxMsg::SEV_WARNING);
    EXPECT_EQ(m.Format().ToUtf8(), "Could not create key from provided data (bad key).");
  }
  const std::vector<std::string> lines = TraceLines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find(" sec.cm.server:7 2 exception_test.cpp:" + std::to_string(line) +
                          " Throwing exception 'IOException_t': [sec.cm.client:2] "),
            std::string::npos)
      << lines[0];

  // The library's own exceptions go through the same helper.
  EXPECT_THROW(QXSECCM_THROW(QxSecCm::UnknownRequestIdException, ExceptionTracer::Server,
                             Catalog::Warn(56) << "r1"),
               QxSecCm::SecCmException);
  ASSERT_EQ(TraceLines().size(), 2U);
  EXPECT_NE(TraceLines()[1].find("'UnknownRequestIdException': [sec.cm.client:56] Unknown "
                                 "request id 'r1'."),
            std::string::npos);
}

TEST_F(ThrowTraceTest, EmptyHandleThrowsIllegalStateNamedAfterTheClass) {
  Tracer::GetClientTracerOperation().SetLevel(2);
  int body = 0;
  EXPECT_NO_THROW(QXSECCM_CHECK_HANDLE(&body, "Observer", ExceptionTracer::Client));
  EXPECT_TRUE(TraceLines().empty());
  try {
    QXSECCM_CHECK_HANDLE(nullptr, "Observer", ExceptionTracer::Client);
    FAIL() << "no throw";
  } catch (const QxMoxMsg::IllegalStateError_t& e) {
    EXPECT_EQ(e.GetMessageList().First().Format().ToUtf8(), "Observer");
    EXPECT_EQ(e.GetMessageList().First().GetSeverity(), QxMoxMsg::SEV_WARNING);
  }
  const std::vector<std::string> lines = TraceLines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find(" sec.cm.client:7 2 exception_test.cpp:"), std::string::npos);
  EXPECT_NE(lines[0].find("Throwing exception 'IllegalStateError_t': Observer"), std::string::npos);
}

template <class Caught, class Thrown>
bool CaughtAs(const Thrown& thrown) {
  try {
    throw thrown;
  } catch (const Caught&) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(Exceptions, LibraryExceptionsAreCaughtByTheirBases) {
  const QxSecCm::ServerNotAvailableException notAvailable(Catalog::Warn(55));
  const QxSecCm::UnknownRequestIdException unknown(Catalog::Warn(56) << "x");
  EXPECT_TRUE(CaughtAs<QxSecCm::SecCmException>(notAvailable));
  EXPECT_TRUE(CaughtAs<QxMoxMsg::RuntimeException_t>(notAvailable));
  EXPECT_TRUE(CaughtAs<QxMoxMsg::Exception_t>(notAvailable));
  EXPECT_TRUE(CaughtAs<std::exception>(notAvailable));
  EXPECT_TRUE(CaughtAs<QxSecCm::SecCmException>(unknown));
  EXPECT_TRUE(CaughtAs<QxMoxMsg::RuntimeException_t>(unknown));
  EXPECT_TRUE(CaughtAs<QxMoxMsg::Exception_t>(unknown));
  EXPECT_FALSE(CaughtAs<QxSecCm::UnknownRequestIdException>(notAvailable));
  EXPECT_FALSE(CaughtAs<QxMoxMsg::IllegalStateError_t>(unknown));
}

TEST(Exceptions, ServerNotAvailableCarriesMessage55WithTheCause) {
  const QxMoxIo::IOException_t cause(
      QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("connection refused")));

  const QxSecCm::ServerNotAvailableException fromException(cause);
  ASSERT_EQ(fromException.GetMessageList().GetCount(), 1U);
  const QxMoxMsg::Message_t& m = fromException.GetMessageList().First();
  EXPECT_EQ(m.GetNumber(), 55);
  EXPECT_EQ(m.GetCatalogName().ToUtf8(), "sec.cm.client");
  EXPECT_EQ(m.GetSeverity(), QxMoxMsg::SEV_WARNING);
  EXPECT_EQ(m.Format(QxMoxMsg::FMT_DETAILS).ToUtf8(),
            "Call to server failed. (connection refused)");

  // A throw site that built message 55 with its cause is not wrapped a second time.
  QxMoxMsg::Message_t built = Catalog::Warn(55);
  built.AddDetails(cause.GetMessageList());
  const QxSecCm::ServerNotAvailableException fromMessage(built);
  EXPECT_EQ(fromMessage.GetMessageList().First().Format(QxMoxMsg::FMT_DETAILS).ToUtf8(),
            "Call to server failed. (connection refused)");

  // Any other message is the cause.
  const QxSecCm::ServerNotAvailableException fromOther(
      QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("timeout")));
  EXPECT_EQ(fromOther.GetMessageList().First().GetNumber(), 55);
  EXPECT_EQ(fromOther.GetMessageList().First().Format(QxMoxMsg::FMT_DETAILS).ToUtf8(),
            "Call to server failed. (timeout)");
}

TEST(Exceptions, SecCmExceptionTakesOverMessages) {
  QxMoxMsg::MessageList_t list;
  list.Add(Catalog::Warn(20) << "/d");
  list.Add(Catalog::Warn(22) << "/d/f");
  const QxMoxMsg::RuntimeException_t original(list);
  const QxSecCm::SecCmException taken(original);
  EXPECT_EQ(taken.GetMessageList().GetCount(), 2U);
  EXPECT_EQ(taken.GetMessageList().Format().ToUtf8(),
            "Could not create directory '/d'.; Could not write to file '/d/f'.");
  EXPECT_STREQ(taken.what(), original.what());

  const QxSecCm::UnknownRequestIdException unknown(Catalog::Warn(56) << "abc");
  EXPECT_EQ(unknown.GetMessageList().First().Format().ToUtf8(), "Unknown request id 'abc'.");
}

TEST(Catalog, HoldsEveryNumberOfTheTable) {
  std::vector<int> expected;
  for (int n = 1; n <= 79; ++n) expected.push_back(n);
  expected.insert(expected.end(), {148, 149, 152});
  std::vector<int> numbers;
  for (const Catalog::Entry& entry : Catalog::Entries()) {
    numbers.push_back(entry.number);
    EXPECT_TRUE(Catalog::Has(entry.number));
    EXPECT_GT(std::string(entry.text).size(), 0U) << entry.number;
  }
  EXPECT_EQ(numbers, expected);
  for (int missing : {0, -1, 80, 147, 150, 151, 153}) {
    SCOPED_TRACE(missing);
    EXPECT_FALSE(Catalog::Has(missing));
    EXPECT_STREQ(Catalog::Text(missing), "");
  }
}

TEST(Catalog, DefaultTextsAreTheTextsOfRecord) {
  const std::vector<std::pair<int, const char*>> rows = {
      {1, "Invalid key type."},
      {4, "Could not parse encoded X509 Certificate (%1)."},
      {23, "Error during CertificateClient initialization."},
      {44, "Retained trusted certificate with alias `%1` during trusted root certificate update."},
      {49, "Error while processing certificate response."},
      {53,
       "The QxCoreId of the contacted CertificateServer did not match with the "
       "CERTIFICATE_SERVER_ID setting.Trusted root certificates could not be updated."},
      {55, "Call to server failed."},
      {56, "Unknown request id '%1'."},
      {66,
       "Certificate request could not be sent to Certificate Server after %1 retries (%2 "
       "retries are left)."},
      {67, "INFO:"},
      {68, "NOTE:"},
      {69, "WARNING:"},
      {70, "ERROR:"},
      {79, "Could not write data."},
      {148, "The certifcate server did not accept the installation key for request with id '%1'."},
      {149, "Could not change file access permissions for directory '%1'."},
      {152,
       "The certificate to be installed is not valid at this time. This may be caused by the "
       "clock on the local system not being synchronized with the clock on the certificate "
       "server."},
  };
  for (const auto& [number, text] : rows) {
    SCOPED_TRACE(number);
    EXPECT_STREQ(Catalog::Text(number), text);
  }
}

TEST(Catalog, BuildsNumberedMessagesOfTheOneCatalog) {
  EXPECT_EQ(&Catalog::GetCatalog(), &Catalog::GetCatalog());
  EXPECT_EQ(Catalog::GetCatalog().GetName().ToUtf8(), "sec.cm.client");
  const std::vector<std::pair<QxMoxMsg::Message_t, QxMoxMsg::Severity_e>> rows = {
      {Catalog::Warn(56), QxMoxMsg::SEV_WARNING},
      {Catalog::Error(49), QxMoxMsg::SEV_ERROR},
      {Catalog::Info(43), QxMoxMsg::SEV_INFO},
      {Catalog::Plain(67), QxMoxMsg::SEV_NONE},
  };
  for (const auto& [message, severity] : rows) {
    SCOPED_TRACE(message.GetNumber());
    EXPECT_EQ(message.GetSeverity(), severity);
    EXPECT_EQ(message.GetCatalogName().ToUtf8(), "sec.cm.client");
    EXPECT_EQ(message.GetDefaultText().ToUtf8(), Catalog::Text(message.GetNumber()));
  }
  EXPECT_EQ((Catalog::Warn(56) << "abc").Format().ToUtf8(), "Unknown request id 'abc'.");
  EXPECT_EQ((Catalog::Plain(66) << 3 << 197).Format().ToUtf8(),
            "Certificate request could not be sent to Certificate Server after 3 retries (197 "
            "retries are left).");
}

}  // namespace
