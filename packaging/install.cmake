# cmake --install and the Debian package (make install, make package).
# GNUInstallDirs puts the library in lib/<multiarch> under /usr, as Debian does.
include(GNUInstallDirs)

install(TARGETS tolvek_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tolvek
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS tolvek
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
install(FILES include/tolvek/tolvek.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvek)

configure_file(packaging/tolvek.pc.in ${CMAKE_BINARY_DIR}/tolvek.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tolvek.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(DIRECTORY palettes/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvek/palettes
  FILES_MATCHING PATTERN "*.pal")
install(FILES packaging/bash-completion/tolvek DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The manual page and the Debian changelog go in compressed, reproducibly (gzip -n).
find_program(TOLVEK_GZIP gzip REQUIRED)
set(TOLVEK_DOC_BUILD ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${TOLVEK_DOC_BUILD}/tolvek.1.gz ${TOLVEK_DOC_BUILD}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TOLVEK_DOC_BUILD}
  COMMAND ${TOLVEK_GZIP} -9nc ${CMAKE_SOURCE_DIR}/doc/tolvek.1 > ${TOLVEK_DOC_BUILD}/tolvek.1.gz
  COMMAND ${TOLVEK_GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog.Debian > ${TOLVEK_DOC_BUILD}/changelog.Debian.gz
  DEPENDS doc/tolvek.1 packaging/changelog.Debian
  VERBATIM)
add_custom_target(tolvek_docs ALL DEPENDS ${TOLVEK_DOC_BUILD}/tolvek.1.gz ${TOLVEK_DOC_BUILD}/changelog.Debian.gz)
install(FILES ${TOLVEK_DOC_BUILD}/tolvek.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${TOLVEK_DOC_BUILD}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# make package: a .deb whose run-time dependencies dpkg-shlibdeps works out.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Tolvek developers")
set(CPACK_PACKAGE_CONTACT "Tolvek developers <tolvek@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch converter of audio files to spectrogram pictures")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tolvek turns every audio file that FFmpeg decodes (MP3, Ogg Vorbis, WAV,
AIFF, FLAC, M4A, Opus, WMA and more) in a file, a wildcard pattern or a
whole tree into a PNG or JPEG spectrogram, coloured through a palette,
with an optional time and frequency grid.

The package holds the program, the C library libtolvek.so.0 with its
header and pkg-config file, ready palettes and bash completion.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvek developers <tolvek@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg runs ldconfig through its trigger, as Debian policy wants for a library.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
include(CPack)
