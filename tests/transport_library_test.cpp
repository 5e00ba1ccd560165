// The transport library binding: sharing among clients, the result code
// names, and the two load failures. The failures run from programs placed in
// folders of their own (bin/variants/absent, bin/variants/no-dns), because
// the library search starts in the program's folder, which the suites in bin
// share while they run in parallel. Each program variant runs only its own
// suite (TRANSPORT_LIBRARY_SUITE) and skips the others, also when run by hand:
// elsewhere they would find the wrong library, and the absent case, which
// places and removes a copy of the double in its folder, would take the
// built double out of bin.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/Files.h"
#include "platform/testing/LibraryProbe.h"
#include "tests/support/DataTable.h"
#include "tests/support/TestSupport.h"
#include "transport/TPKTClient.h"
#include "transport/TransportLibrary.h"

namespace {

// "Не найдена библиотека "cl_vexo_transport.dll""
const std::string NotFoundText =
    "\xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED\xE0 \xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE0 "
    "\"cl_vexo_transport.dll\"";
// "Версия библиотеки "cl_vexo_transport.dll" не соответствует требуемой."
const std::string VersionText =
    "\xC2\xE5\xF0\xF1\xE8\xFF \xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE8 \"cl_vexo_transport.dll\" "
    "\xED\xE5 \xF1\xEE\xEE\xF2\xE2\xE5\xF2\xF1\xF2\xE2\xF3\xE5\xF2 "
    "\xF2\xF0\xE5\xE1\xF3\xE5\xEC\xEE\xE9.";

// Skips the running case unless this program variant was built for Suite.
#define RUN_ONLY_IN_VARIANT_OF(Suite)                                              \
  if (std::string(TRANSPORT_LIBRARY_SUITE) != (Suite)) {                           \
    GTEST_SKIP() << "runs only in the " Suite " variant of this program";          \
  }

// The general failure text of constructing a client; empty when it worked.
std::string ConstructionError() {
  try {
    TTPKTClient::Create();
  } catch (const std::runtime_error& Error) {
    return Error.what();
  }
  return std::string();
}

// ------------------------------------------------------ with the double in bin

TEST(TransportLibrary, ClientsShareOneLoadAndTheLastFreesIt) {
  RUN_ONLY_IN_VARIANT_OF("TransportLibrary");
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  auto First = TTPKTClient::Create();
  EXPECT_EQ(TransportLibraryRefCount(), 1);
  EXPECT_TRUE(Platform::IsLibraryLoaded(TransportLibraryName));
  const TTransportEntries Loaded = TransportEntries();
  EXPECT_NE(Loaded.CreateTermination, nullptr);
  EXPECT_NE(Loaded.GetDNSFistServerName, nullptr);

  auto Second = TTPKTClient::Create();
  EXPECT_EQ(TransportLibraryRefCount(), 2);
  EXPECT_EQ(TransportEntries().SendToServer, Loaded.SendToServer);

  First.reset();
  EXPECT_EQ(TransportLibraryRefCount(), 1);
  EXPECT_TRUE(TransportLibraryLoaded());
  EXPECT_NE(TransportEntries().SendToServer, nullptr);

  Second.reset();
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  EXPECT_FALSE(TransportLibraryLoaded());
  EXPECT_EQ(TransportEntries().SendToServer, nullptr);
  EXPECT_FALSE(Platform::IsLibraryLoaded(TransportLibraryName));
}

TEST(TransportLibrary, ResultCodesHaveTheirNames) {
  for (const TestSupport::TDataRow& Row : DataTable("transport_library/error_names.txt")) {
    EXPECT_EQ(TransportErrorName(static_cast<int32_t>(Row.Int(0))), Row.Text(1)) << Row.Where();
  }
}

// ------------------------------------------- from bin/variants/absent (no library)

TEST(TransportLibraryAbsent, MissingLibraryIsNamedAndLoadedAnewLater) {
  RUN_ONLY_IN_VARIANT_OF("TransportLibraryAbsent");
  namespace fs = std::filesystem;
  const std::string Here = TestSupport::BinaryDir();
  const fs::path Copy = Platform::ToNativePath(Here + TRANSPORT_DOUBLE_FILE_NAME);
  const fs::path Original = Platform::ToNativePath(Here + "..\\..\\" TRANSPORT_DOUBLE_FILE_NAME);
  fs::remove(Copy);  // left behind by an interrupted run

  EXPECT_EQ(ConstructionError(), NotFoundText);
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  EXPECT_EQ(ConstructionError(), NotFoundText);  // tried anew, failing the same way

  fs::copy_file(Original, Copy);
  {
    const auto Client = TTPKTClient::Create();
    EXPECT_EQ(TransportLibraryRefCount(), 1);
    EXPECT_TRUE(TransportLibraryLoaded());
  }
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  fs::remove(Copy);
}

// ----------------------- from bin/variants/no-dns (a double lacking one entry)

TEST(TransportLibraryNoDns, LibraryLackingAnEntryIsRefusedAndFreed) {
  RUN_ONLY_IN_VARIANT_OF("TransportLibraryNoDns");
  EXPECT_EQ(ConstructionError(), VersionText);
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  EXPECT_FALSE(TransportLibraryLoaded());
  EXPECT_EQ(TransportEntries().CreateTermination, nullptr);
  EXPECT_FALSE(Platform::IsLibraryLoaded(TransportLibraryName));

  EXPECT_EQ(ConstructionError(), VersionText);  // and again, not stuck half-loaded
  EXPECT_EQ(TransportLibraryRefCount(), 0);
}

}  // namespace
