# Installation and the Debian package. The converter goes to bin/, the helper
# to libexec/quorvantelmic/ (a program people never run by hand), and the
# converter looks for it there, relative to itself, so the tree works under
# any prefix and inside a package.
include(GNUInstallDirs)

set(QUORVANTELMIC_HELPER_INSTALL_DIR "${CMAKE_INSTALL_LIBEXECDIR}/quorvantelmic")
file(RELATIVE_PATH QUORVANTELMIC_HELPER_FROM_BIN "/prefix/${CMAKE_INSTALL_BINDIR}"
     "/prefix/${QUORVANTELMIC_HELPER_INSTALL_DIR}")
target_compile_definitions(qv_client PRIVATE QUORVANTELMIC_HELPER_FROM_BIN="${QUORVANTELMIC_HELPER_FROM_BIN}")

install(TARGETS quorvantelmic-convert RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS quorvantelmic-helper RUNTIME DESTINATION "${QUORVANTELMIC_HELPER_INSTALL_DIR}")
# The PDF operations and the image metadata, which the helper opens from
# beside itself.
install(TARGETS quorvantelmic-pdf quorvantelmic-metadata LIBRARY DESTINATION "${QUORVANTELMIC_HELPER_INSTALL_DIR}")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/quorvantelmic-convert.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/completions/quorvantelmic-convert.bash"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME quorvantelmic-convert)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/completions/_quorvantelmic-convert"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions")
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The desktop converter, when gtkmm was there to build it: the program, its
# menu entry (with the file types "Open With" offers it for), its icon and
# its software-centre description.
if(TARGET quorvantelmic-converter)
  install(TARGETS quorvantelmic-converter RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${PROJECT_SOURCE_DIR}/desktop/data/org.quorvantelmic.Converter.desktop"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
  install(FILES "${PROJECT_SOURCE_DIR}/desktop/data/org.quorvantelmic.Converter.svg"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
  install(FILES "${PROJECT_SOURCE_DIR}/desktop/data/org.quorvantelmic.Converter.metainfo.xml"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
endif()

# `cpack -G DEB` in the build tree. dpkg-shlibdeps reads the libraries the
# executables are linked against, so the package depends on the runtime
# libraries alone, never on a -dev package or a build tool. Poppler draws the
# standard PDF fonts with the URW base-35 faces, which no library pulls in.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvantelmic")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sandboxed image and PDF converter with safe publication")
set(CPACK_PACKAGE_CONTACT "quorvantelmic developers <quorvantelmic@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-urw-base35")
# The libraries opened on first use (the helper's AV1/HEIF, TIFF, resampling
# and palette libraries, libcrypto, the converter's qpdf) are named by no
# executable, so
# dpkg-shlibdeps cannot see them: the package
# depends on the Debian packages that hold the very files the build found.
get_property(QV_OPENED_ON_FIRST_USE GLOBAL PROPERTY QUORVANTELMIC_LIBRARIES_OPENED_ON_FIRST_USE)
foreach(library IN LISTS QV_OPENED_ON_FIRST_USE)
  get_filename_component(library "${library}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${library}" OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND owner MATCHES "^([^:,]+)")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CMAKE_MATCH_1}")
  endif()
endforeach()
set(CPACK_STRIP_FILES ON)
include(CPack)
