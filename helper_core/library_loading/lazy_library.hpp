// Codec libraries that few requests need (AV1 and HEVC, resampling, palette
// quantisation) are opened on their first use rather than when the helper
// starts: each drags its own dependencies (every AV1 encoder, VA-API and X11
// behind libavutil, libde265's table-building constructor), and mapping and
// relocating them was most of the helper's start-up for requests that never
// touch them.
//
// A library is described by a table of the functions the caller uses, listed
// once in an X-macro and typed from the library's own header, so every call
// through the table is checked against the declaration exactly as a direct
// call would be:
//
//   #define QV_ZLIB_FUNCTIONS(X) X(zlibVersion) X(crc32)
//   QUORVANTELMIC_LIBRARY_TABLE(ZlibFunctions, QV_ZLIB_FUNCTIONS)
//   std::optional<ZlibFunctions> zlib = loadLibraryTable<ZlibFunctions>("libz.so.1");
#pragma once

#include <memory>
#include <optional>

namespace quorvantelmic::detail {

// A library opened with dlopen, closed again when this goes away unless it
// was kept. A library whose functions were handed out is kept for the rest
// of the process: its code may still be running in threads it started, and
// constructors such as libde265's must not run twice.
class SharedLibrary {
 public:
  // Opens the library by its soname (or a path), resolving every symbol now
  // so that nothing is left to fail in the middle of a call later, and
  // locally so that its symbols never stand in for anyone else's.
  static std::optional<SharedLibrary> open(const char* soname) noexcept;

  // Sets slot to the symbol called name; false when the library lacks it.
  template <typename Function>
  bool resolve(Function& slot, const char* name) const noexcept {
    void* address = symbol(name);
    slot = reinterpret_cast<Function>(address);
    return address != nullptr;
  }

  void keepLoaded() noexcept { (void)handle_.release(); }

 private:
  struct Closer {
    void operator()(void* handle) const noexcept;
  };
  explicit SharedLibrary(void* handle) noexcept : handle_(handle) {}
  void* symbol(const char* name) const noexcept;

  std::unique_ptr<void, Closer> handle_;
};

// Opens the library and fills a table declared with
// QUORVANTELMIC_LIBRARY_TABLE; nothing when the library or any one of the
// table's functions is missing, so that a caller never holds a half-usable
// library. Callers keep the result in a function-local static: the library
// is looked for once per process.
template <typename Table>
std::optional<Table> loadLibraryTable(const char* soname) noexcept {
  std::optional<SharedLibrary> library = SharedLibrary::open(soname);
  if (!library) return std::nullopt;
  Table table;
  if (!Table::resolveAll(*library, table)) return std::nullopt;
  library->keepLoaded();
  return table;
}

}  // namespace quorvantelmic::detail

#define QUORVANTELMIC_LIBRARY_TABLE_MEMBER(name) decltype(&::name) name = nullptr;
#define QUORVANTELMIC_LIBRARY_TABLE_RESOLVE(name) &&library.resolve(table.name, #name)

// Declares struct Table with one function pointer per name FUNCTIONS lists,
// each of the type of the library's own declaration of that name.
#define QUORVANTELMIC_LIBRARY_TABLE(Table, FUNCTIONS)                                                     \
  struct Table {                                                                                         \
    FUNCTIONS(QUORVANTELMIC_LIBRARY_TABLE_MEMBER)                                                        \
    static bool resolveAll(const ::quorvantelmic::detail::SharedLibrary& library, Table& table) noexcept { \
      return true FUNCTIONS(QUORVANTELMIC_LIBRARY_TABLE_RESOLVE);                                        \
    }                                                                                                    \
  }
