# cmake --install and the Debian package (make install, make package).
# GNUInstallDirs puts the library in lib/<multiarch> under /usr, as Debian does.
include(GNUInstallDirs)

# Three Debian packages, as Debian splits a library: "program" (tolvek: the
# command, palettes, completion, manual page), "library" (libtolvek0: the
# shared object named after its SONAME) and "dev" (libtolvek-dev: header,
# development link, pkg-config file).
install(TARGETS tolvek_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(TARGETS tolvek
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP COMPONENT library)
install(TARGETS tolvek
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY COMPONENT dev)
install(FILES include/tolvek/tolvek.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvek COMPONENT dev)

configure_file(packaging/tolvek.pc.in ${CMAKE_BINARY_DIR}/tolvek.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tolvek.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(DIRECTORY palettes/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvek/palettes COMPONENT program
  FILES_MATCHING PATTERN "*.pal")
install(FILES packaging/bash-completion/tolvek DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT program)

# The manual page and the Debian changelog carry the project's version; they
# go in compressed, reproducibly (gzip -n).
find_program(TOLVEK_GZIP gzip REQUIRED)
set(TOLVEK_DOC_BUILD ${CMAKE_BINARY_DIR}/packaging)
configure_file(doc/tolvek.1.in ${TOLVEK_DOC_BUILD}/tolvek.1 @ONLY)
configure_file(packaging/changelog.Debian.in ${TOLVEK_DOC_BUILD}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${TOLVEK_DOC_BUILD}/tolvek.1.gz ${TOLVEK_DOC_BUILD}/changelog.Debian.gz
  COMMAND ${TOLVEK_GZIP} -9nc ${TOLVEK_DOC_BUILD}/tolvek.1 > ${TOLVEK_DOC_BUILD}/tolvek.1.gz
  COMMAND ${TOLVEK_GZIP} -9nc ${TOLVEK_DOC_BUILD}/changelog.Debian > ${TOLVEK_DOC_BUILD}/changelog.Debian.gz
  DEPENDS ${TOLVEK_DOC_BUILD}/tolvek.1 ${TOLVEK_DOC_BUILD}/changelog.Debian
  VERBATIM)
add_custom_target(tolvek_docs ALL DEPENDS ${TOLVEK_DOC_BUILD}/tolvek.1.gz ${TOLVEK_DOC_BUILD}/changelog.Debian.gz)
install(FILES ${TOLVEK_DOC_BUILD}/tolvek.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
# Debian wants the copyright and changelog in each package's own doc folder.
foreach(component_package IN ITEMS program:tolvek library:libtolvek0 dev:libtolvek-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES packaging/copyright ${TOLVEK_DOC_BUILD}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# make package: three .deb files whose run-time dependencies dpkg-shlibdeps
# works out; libtolvek-dev needs the very libtolvek0 it was built with.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program library dev)
set(CPACK_PACKAGE_NAME tolvek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Tolvek developers")
set(CPACK_PACKAGE_CONTACT "Tolvek developers <tolvek@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvek developers <tolvek@example.org>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Only libtolvek0 holds a shared library, so only it gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(tolvek_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME tolvek)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION "batch converter of audio files to spectrogram pictures
Tolvek turns every audio file that FFmpeg decodes (MP3, Ogg Vorbis, WAV,
AIFF, FLAC, M4A, Opus, WMA and more) in a file, a wildcard pattern or a
whole tree into a PNG or JPEG spectrogram, coloured through a palette,
with an optional time and frequency grid.
.
This package holds the program, ready palettes, bash completion and the
manual page.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtolvek0)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# dpkg runs ldconfig through its trigger, as Debian policy wants for a
# library. CPack adds ldconfig calls to postinst and postrm of any package
# with a library under /usr/lib, which no setting turns off.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "audio to spectrogram picture conversion library
libtolvek converts one audio file into a PNG or JPEG spectrogram picture
coloured through a palette, and loads palette files, through a small C
interface.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtolvek-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtolvek0 (= ${tolvek_deb_version})")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEV_DESCRIPTION "audio to spectrogram picture conversion library - development files
libtolvek converts one audio file into a PNG or JPEG spectrogram picture
coloured through a palette, and loads palette files, through a small C
interface.
.
This package holds the C header, the development link and the pkg-config
file.")
include(CPack)

# A program and library with the lean static FFmpeg carry FFmpeg's licence
# (LGPL 2.1 or later) and the record of its source and configuration.
if(TOLVEK_LEAN_FFMPEG)
  install(DIRECTORY ${ffmpeg_prefix}/share/doc/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/ffmpeg COMPONENT program)
endif()
