# Installs the build tree into a scratch root and converts a file with the
# installed converter, which must find the installed helper by itself.
#   cmake -DBUILD_DIR=... -DWORK=... -DSOURCE_DIR=... -P installed_layout.cmake
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${WORK}/root"
                        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(path usr/bin/quorvantelmic-convert usr/libexec/quorvantelmic/quorvantelmic-helper
             usr/libexec/quorvantelmic/quorvantelmic-pdf.so usr/libexec/quorvantelmic/quorvantelmic-metadata.so
             usr/share/man/man1/quorvantelmic-convert.1 usr/share/bash-completion/completions/quorvantelmic-convert
             usr/share/zsh/vendor-completions/_quorvantelmic-convert)
  if(NOT EXISTS "${WORK}/root/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# The desktop converter, where gtkmm was there to build it, comes with its
# menu entry, icon and description.
if(EXISTS "${BUILD_DIR}/desktop/quorvantelmic-converter")
  foreach(path usr/bin/quorvantelmic-converter usr/share/applications/org.quorvantelmic.Converter.desktop
               usr/share/icons/hicolor/scalable/apps/org.quorvantelmic.Converter.svg
               usr/share/metainfo/org.quorvantelmic.Converter.metainfo.xml)
    if(NOT EXISTS "${WORK}/root/${path}")
      message(FATAL_ERROR "not installed: ${path}")
    endif()
  endforeach()
endif()
set(convert "${WORK}/root/usr/bin/quorvantelmic-convert")
execute_process(COMMAND "${convert}" --version OUTPUT_VARIABLE version RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT version MATCHES "quorvantelmic-helper 0\\.5\\.0 .* at [^\n]*/libexec/quorvantelmic/quorvantelmic-helper")
  message(FATAL_ERROR "the installed converter does not find the installed helper:\n${version}")
endif()
file(MAKE_DIRECTORY "${WORK}/out")
# Reading the source's metadata opens the installed metadata module.
execute_process(COMMAND "${convert}" --journal "${WORK}/journal" image "${SOURCE_DIR}/tests/fixtures/image_bytes/plain.png"
                        --to jpg --quiet --dest "${WORK}/out"
                RESULT_VARIABLE status OUTPUT_VARIABLE published ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT EXISTS "${WORK}/out/plain.jpg")
  message(FATAL_ERROR "the installed converter failed: ${published}${errors}")
endif()
# The installed helper opens its PDF module from beside itself.
execute_process(COMMAND "${convert}" --journal "${WORK}/journal" pdf-pages "${SOURCE_DIR}/tests/fixtures/pdf/text-pages.pdf"
                        --to png --dpi 36 --quiet --dest "${WORK}/out"
                RESULT_VARIABLE status OUTPUT_VARIABLE published ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT EXISTS "${WORK}/out/text-pages page 3.png")
  message(FATAL_ERROR "the installed converter failed on a PDF: ${published}${errors}")
endif()
