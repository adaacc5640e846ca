# Compiler flags of the fuzz build, applied to every target of that build
# before the core is added, so that the libraries the fuzz targets call are
# instrumented for coverage and checked by the sanitizers too. The fuzz build
# is a clang build of its own; the normal builds stay on GCC.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QUORVANTELMIC_FUZZ needs clang: configure with CC=clang CXX=clang++.")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
