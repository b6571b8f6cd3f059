# Installation (cmake --install, default prefix /usr/local) and the Debian
# package (cpack -G DEB, prefix /usr; scripts/package.sh wraps it).
include(GNUInstallDirs)

# The virtual USB board is a libusb-1.0 stand-in for LD_PRELOAD, not a library
# for others to link: it lives in a directory of the launcher's own (under
# libexec, where no linker looks, so that the package calls no ldconfig), and
# the launcher finds it relative to itself, so that the same tree works under
# any prefix (and unpacked from the package into a scratch directory).
set(VESPER_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBEXECDIR}/vesperbox)
file(RELATIVE_PATH VESPER_LIB_FROM_BIN /${CMAKE_INSTALL_BINDIR} /${VESPER_PRIVATE_LIBDIR})

install(TARGETS vesperbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vesper_vusb LIBRARY DESTINATION ${VESPER_PRIVATE_LIBDIR})

# The launcher is scripts/virtual-board.sh with the part that finds (and
# builds) the program in the source tree swapped for one that finds the
# installed program and library; in the build directory it finds them beside
# itself. Its options and help stay those of the script.
set(launcher_source ${CMAKE_SOURCE_DIR}/scripts/virtual-board.sh)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${launcher_source})
file(READ ${launcher_source} launcher)
string(FIND "${launcher}" "# locate: begin\n" locate_begin)
string(FIND "${launcher}" "# locate: end\n" locate_end)
if(locate_begin LESS 0 OR locate_end LESS locate_begin)
  message(FATAL_ERROR "scripts/virtual-board.sh lost its '# locate: begin' / '# locate: end' marks")
endif()
string(LENGTH "# locate: end\n" mark_length)
math(EXPR after_end "${locate_end} + ${mark_length}")
string(SUBSTRING "${launcher}" 0 ${locate_begin} launcher_head)
string(SUBSTRING "${launcher}" ${after_end} -1 launcher_tail)
string(REPLACE "scripts/virtual-board.sh" "vesperbox-virtual-board" launcher_head "${launcher_head}")
set(launcher_locate [=[
name="vesperbox-virtual-board"
here="$(dirname "$(readlink -f "$0")")"
exe="$here/vesperbox"
lib="$here/@VESPER_LIB_FROM_BIN@/libvesper_vusb.so"
# In the build directory the library is beside the program.
if [ ! -f "$lib" ] && [ -f "$here/libvesper_vusb.so" ]; then lib="$here/libvesper_vusb.so"; fi
for f in "$exe" "$lib"; do
  if [ ! -f "$f" ]; then echo "virtual-board: $f is missing; reinstall vesperbox" >&2; exit 1; fi
done
]=])
string(CONFIGURE "${launcher_locate}" launcher_locate @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/generated/vesperbox-virtual-board
  "${launcher_head}${launcher_locate}${launcher_tail}")
# Copied only when it changed, so that an unchanged launcher is not rebuilt.
configure_file(${CMAKE_BINARY_DIR}/generated/vesperbox-virtual-board
  ${CMAKE_BINARY_DIR}/vesperbox-virtual-board COPYONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(PROGRAMS ${CMAKE_BINARY_DIR}/vesperbox-virtual-board DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog, gzipped as Debian wants them (-n: no name
# or time stamp inside, so that the same source gives the same package).
set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(generated ${CMAKE_BINARY_DIR}/packaging)
set(gzipped)
foreach(page vesperbox.1 vesperbox-virtual-board.1 changelog)
  configure_file(${packaging}/${page}.in ${generated}/${page} @ONLY)
  add_custom_command(OUTPUT ${generated}/${page}.gz
    COMMAND sh -c "gzip -9 -n -c '${generated}/${page}' > '${generated}/${page}.gz'"
    DEPENDS ${generated}/${page} VERBATIM)
  list(APPEND gzipped ${generated}/${page}.gz)
endforeach()
add_custom_target(vesper_docs ALL DEPENDS ${gzipped})
install(FILES ${generated}/vesperbox.1.gz ${generated}/vesperbox-virtual-board.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
configure_file(${packaging}/copyright.in ${generated}/copyright @ONLY)
install(FILES ${generated}/changelog.gz ${generated}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# udev reads rules from lib/udev/rules.d under /usr and /usr/local alike.
install(FILES ${CMAKE_SOURCE_DIR}/udev/60-vesperbox-ft2232h.rules DESTINATION lib/udev/rules.d)

# The desktop: entry, icon in the sizes drawn and as SVG, AppStream metainfo.
install(FILES ${packaging}/org.vesperbox.Vesperbox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/art/vesperbox-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME vesperbox.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/art/vesperbox.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
configure_file(${packaging}/org.vesperbox.Vesperbox.metainfo.xml.in ${generated}/org.vesperbox.Vesperbox.metainfo.xml @ONLY)
install(FILES ${generated}/org.vesperbox.Vesperbox.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# bash-completion loads a completion by the command's name: one file each.
foreach(command vesperbox vesperbox-virtual-board)
  install(FILES ${packaging}/vesperbox.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
endforeach()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesperbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vesperbox developers")
set(CPACK_PACKAGE_CONTACT "Vesperbox developers <vesperbox@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench tool for DVB-S/S2 satellite receiver boards")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${packaging}/description.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window names these fonts; the virtual board's launcher wants an X
# server when there is no display; lsusb finds the board.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "usbutils, xvfb, xauth, ffmpeg | vlc, sigrok-cli")
# No postrm: udev notices a removed rule by itself, and with a postrm dpkg
# would keep the removed package listed (state rc) until it is purged.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
