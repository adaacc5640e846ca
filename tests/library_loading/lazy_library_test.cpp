// Libraries opened on first use: a library is handed out only when it and
// every function of its table were found.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <zlib.h>

#include <string>

#include "helper_core/library_loading/lazy_library.hpp"

// Declared so that a table can name it; no library defines it.
extern "C" int quorvantelmicFunctionNoLibraryHas(int);

namespace quorvantelmic::detail {
namespace {

#define QV_TEST_ZLIB_FUNCTIONS(X) \
  X(zlibVersion)                  \
  X(crc32)
QUORVANTELMIC_LIBRARY_TABLE(ZlibFunctions, QV_TEST_ZLIB_FUNCTIONS);

#define QV_TEST_INCOMPLETE_ZLIB_FUNCTIONS(X) \
  X(zlibVersion)                             \
  X(quorvantelmicFunctionNoLibraryHas)       \
  X(crc32)
QUORVANTELMIC_LIBRARY_TABLE(IncompleteZlibFunctions, QV_TEST_INCOMPLETE_ZLIB_FUNCTIONS);

// The zlib this program is linked with, named by its file.
std::string linkedZlib() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&::zlibVersion), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

TEST(LibraryOnFirstUse, HandsOutOnlyALibraryWithEveryFunctionOfItsTable) {
  const std::string zlib = linkedZlib();
  ASSERT_FALSE(zlib.empty());

  const std::optional<ZlibFunctions> complete = loadLibraryTable<ZlibFunctions>(zlib.c_str());
  ASSERT_TRUE(complete.has_value());
  EXPECT_STREQ(complete->zlibVersion(), ::zlibVersion());
  const Bytef text[] = {'q', 'v'};
  EXPECT_EQ(complete->crc32(0, text, sizeof text), ::crc32(0, text, sizeof text));

  EXPECT_FALSE(loadLibraryTable<IncompleteZlibFunctions>(zlib.c_str()).has_value()) << "one function missing";
  EXPECT_FALSE(loadLibraryTable<ZlibFunctions>("libquorvantelmic-absent.so.0").has_value()) << "no such library";
  EXPECT_FALSE(loadLibraryTable<ZlibFunctions>("").has_value());
}

}  // namespace
}  // namespace quorvantelmic::detail
