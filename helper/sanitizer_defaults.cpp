// Leak-checker defaults of the sanitizer build, linked into every executable
// of that build (the helper and each test program), so that one list decides
// which library allocations are not ours to report.
//
// Poppler builds fontconfig's configuration once when it first draws text and
// keeps it for the life of the process. libimagequant 2.17 loses two internal
// row buffers of about 96 KB when it remaps a very large image (twelve
// megapixels) with dithering, although every liq object we create is
// destroyed. libheif 1.15 loses 52-byte blocks inside its own parser on some
// damaged HEIF files (found by fuzzing), with every heif object released.
// libavif 0.11 wraps each AV1 sample in a 40-byte dav1d reference and never
// releases it when dav1d refuses the sample (a damaged AVIF), not even when
// the decoder is destroyed; the allocation is dav1d's own, so only dav1d
// frames are on its stack. A leak of libavif's decoder itself still shows.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libimagequant.so\n"
         "leak:libheif.so\n"
         "leak:libdav1d.so\n";
}
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

// The leak checker of GCC 12 learns where each dynamically allocated
// thread-local block lies by intercepting __tls_get_addr, and with glibc 2.36
// it can record a block with impossible bounds (rendering the two pages of a
// PDF built from a PNG and a JPEG gave 0x846 to 0x1000001948); its tracer
// then crashes scanning that range and the process ends with a fatal error
// instead of a leak report. Without the interception nothing goes unscanned:
// glibc allocates those blocks on the heap and keeps them in the thread's
// vector of blocks, which is itself reachable from the static TLS the checker
// always scans.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
