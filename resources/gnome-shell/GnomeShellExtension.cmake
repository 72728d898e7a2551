# Brisko Desktop's GNOME Shell extension in the two forms shells load: the script form of GNOME 43 and
# 44 (legacy/) and the module form of GNOME 45 and later (module/). Each extension.js is its form's head
# with the shared publisher (FocusedWindowPublisher.js) put in, assembled into
# ${CMAKE_BINARY_DIR}/gnome-shell/<form>/<uuid>/. The package installs both under
# share/brisko-desktop/gnome-shell/; its postinst links the one the installed shell loads into
# /usr/share/gnome-shell/extensions/ (and again through a trigger when the shell changes).
set(BRISKO_GNOME_EXTENSION_UUID brisko-desktop@brisko.example CACHE INTERNAL "")
set(gnome_extension_source ${CMAKE_SOURCE_DIR}/resources/gnome-shell)
file(READ ${gnome_extension_source}/FocusedWindowPublisher.js FOCUSED_WINDOW_PUBLISHER)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${gnome_extension_source}/FocusedWindowPublisher.js)
foreach(form legacy module)
  set(dir ${CMAKE_BINARY_DIR}/gnome-shell/${form}/${BRISKO_GNOME_EXTENSION_UUID})
  configure_file(${gnome_extension_source}/${form}/extension.js.in ${dir}/extension.js @ONLY)
  configure_file(${gnome_extension_source}/${form}/metadata.json ${dir}/metadata.json COPYONLY)
  install(DIRECTORY ${dir} DESTINATION ${CMAKE_INSTALL_DATADIR}/brisko-desktop/gnome-shell/${form})
endforeach()
# For the tests: the folders of each form.
set(BRISKO_GNOME_EXTENSION_LEGACY_DIR ${CMAKE_BINARY_DIR}/gnome-shell/legacy/${BRISKO_GNOME_EXTENSION_UUID}
    CACHE INTERNAL "")
set(BRISKO_GNOME_EXTENSION_MODULE_DIR ${CMAKE_BINARY_DIR}/gnome-shell/module/${BRISKO_GNOME_EXTENSION_UUID}
    CACHE INTERNAL "")
# The maintainer scripts that link the extension (read by cmake/Packaging.cmake).
set_property(GLOBAL APPEND PROPERTY BRISKO_DEBIAN_CONTROL_EXTRA
  ${gnome_extension_source}/debian/postinst
  ${gnome_extension_source}/debian/prerm
  ${gnome_extension_source}/debian/triggers)
