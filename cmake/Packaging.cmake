# The Debian package: `cpack -G DEB` in a release build makes brisko-desktop_<version>_amd64.deb with
# the binary, its resources, the desktop entry (with the URL scheme handlers), the icon, the manual page,
# the copyright file and the changelog. Depends is computed from the binary's shared libraries
# (dpkg-shlibdeps), plus what it loads at run time without linking: Qt's X11 and Wayland platform
# plugins, the CJK fonts the window's Japanese texts need, the Roboto font of the sign-in button, xdg-open and the
# public-suffix list that decides which cookie domains are refused; and the C library whose loader reads
# the binary's packed relocations (2.36), which dpkg-shlibdeps does not count.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisko-desktop)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brisko")
set(CPACK_PACKAGE_CONTACT "Brisko Desktop developers <desktop@brisko.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion of the Brisko activity log")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, fonts-noto-cjk, fonts-roboto, xdg-utils, publicsuffix, libc6 (>= 2.36)")
# The Secret Service keeps the account's keychain items; without one they go to a 0600 file.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager")
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below it (lines of at most 79).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Once recording is switched on, Brisko Desktop notes every 30 seconds which
application is in front, the title of its focused window, how long the user has
been idle and whether the machine is awake, and delivers these samples to the
user's Brisko account every five minutes. It signs in with Ezevar in the
browser and lives in the system tray. It works in X11 sessions and in the
Wayland sessions of GNOME Shell, KDE Plasma and wlroots compositors (sway,
Hyprland, labwc, Wayfire).")

# What Debian wants beside the program: the copyright file, the changelog and the manual page, the last
# two compressed with gzip -9n (no name or time stamp, so that each build packs the same bytes).
set(BRISKO_PACKAGE_SOURCES ${BRISKO_RESOURCES_DIR}/package)
set(BRISKO_PACKAGE_DOCS ${CMAKE_BINARY_DIR}/package)
set(BRISKO_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
find_program(BRISKO_GZIP gzip REQUIRED)
set(BRISKO_PACKAGE_COMPRESSED)
foreach(name changelog brisko-desktop.1)
  add_custom_command(OUTPUT ${BRISKO_PACKAGE_DOCS}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BRISKO_PACKAGE_DOCS}
    COMMAND ${BRISKO_GZIP} -9n -c ${BRISKO_PACKAGE_SOURCES}/${name} > ${BRISKO_PACKAGE_DOCS}/${name}.gz
    DEPENDS ${BRISKO_PACKAGE_SOURCES}/${name} VERBATIM)
  list(APPEND BRISKO_PACKAGE_COMPRESSED ${BRISKO_PACKAGE_DOCS}/${name}.gz)
endforeach()
add_custom_target(brisko-package-docs ALL DEPENDS ${BRISKO_PACKAGE_COMPRESSED})
install(FILES ${BRISKO_PACKAGE_SOURCES}/copyright ${BRISKO_PACKAGE_DOCS}/changelog.gz
  DESTINATION ${BRISKO_PACKAGE_DOC_DIR})
install(FILES ${BRISKO_PACKAGE_DOCS}/brisko-desktop.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Maintainer scripts of the parts that need them (the GNOME Shell extension's link), mode 0755.
get_property(BRISKO_DEBIAN_CONTROL_EXTRA GLOBAL PROPERTY BRISKO_DEBIAN_CONTROL_EXTRA)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${BRISKO_DEBIAN_CONTROL_EXTRA})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
