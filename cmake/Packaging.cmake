# Installs the program like any Linux desktop program (the executable, a desktop entry, icons,
# the man page and a systemd user unit for the bridge) and describes the Debian package that
# CPack builds from the same rules: `cpack -G DEB` in the build folder.
include(GNUInstallDirs)

set(packagingSource "${PROJECT_SOURCE_DIR}/packaging")
set(packagingBinary "${PROJECT_BINARY_DIR}/packaging")
# The desktop entry and the icons are named after the application's ID, which is how desktops
# match a running window to its entry.
set(quillfernAppId com.quillfern.Quillfern)

install(TARGETS quillfern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES "${packagingSource}/${quillfernAppId}.desktop"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES "${packagingSource}/${quillfernAppId}.svg"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# PNG sizes for menus and docks that do not draw SVG, rendered from the one drawing.
find_program(QUILLFERN_RSVG_CONVERT rsvg-convert)
set(quillfernIconSizes)
if(QUILLFERN_RSVG_CONVERT)
  set(quillfernIconSizes 16 24 32 48 64 128 256 512)
  set(renderedIcons)
  foreach(size IN LISTS quillfernIconSizes)
    set(png "${packagingBinary}/icons/${size}x${size}/${quillfernAppId}.png")
    add_custom_command(
      OUTPUT "${png}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${packagingBinary}/icons/${size}x${size}"
      COMMAND "${QUILLFERN_RSVG_CONVERT}" --width=${size} --height=${size} --output "${png}"
              "${packagingSource}/${quillfernAppId}.svg"
      DEPENDS "${packagingSource}/${quillfernAppId}.svg"
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND renderedIcons "${png}")
    install(FILES "${png}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(quillfern_icons ALL DEPENDS ${renderedIcons})
else()
  message(STATUS "rsvg-convert not found (librsvg2-bin): only the SVG icon will be installed")
endif()

# The man page, compressed as Debian keeps man pages when gzip is there.
configure_file("${packagingSource}/quillfern.1.in" "${packagingBinary}/quillfern.1" @ONLY)
find_program(QUILLFERN_GZIP gzip)
if(QUILLFERN_GZIP)
  add_custom_command(
    OUTPUT "${packagingBinary}/quillfern.1.gz"
    # -n leaves out the name and time, so the same page always compresses to the same bytes.
    COMMAND "${QUILLFERN_GZIP}" -9 -n -k -f "${packagingBinary}/quillfern.1"
    DEPENDS "${packagingBinary}/quillfern.1"
    VERBATIM)
  add_custom_target(quillfern_man_page ALL DEPENDS "${packagingBinary}/quillfern.1.gz")
  install(FILES "${packagingBinary}/quillfern.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES "${packagingBinary}/quillfern.1" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The user unit names the installed executable, whose folder is known only when installing:
# cpack installs under /usr, `cmake --install` under CMAKE_INSTALL_PREFIX or --prefix.
install(CODE "
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${bindir}\")
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
  endif()
  set(QUILLFERN_INSTALLED_BINARY \"\${bindir}/quillfern\")
  file(READ \"${packagingSource}/quillfern-bridge.service.in\" unitTemplate)
  file(CONFIGURE OUTPUT \"${packagingBinary}/quillfern-bridge.service\"
       CONTENT \"\${unitTemplate}\" @ONLY)
")
# lib/systemd/user under /usr and under /usr/local are both on systemd's user unit path.
install(FILES "${packagingBinary}/quillfern-bridge.service" DESTINATION lib/systemd/user)

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)  # quotes and semicolons in the texts reach the package as written
set(CPACK_PACKAGE_NAME quillfern)
set(CPACK_PACKAGE_VENDOR Quillfern)
set(CPACK_PACKAGE_CONTACT "Quillfern developers <developers@quillfern.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [=[Quillfern shows one browser-hosted Flash game in its own window, where
Ruffle runs the game. A loopback bridge on 127.0.0.1:9882 relays the page's
WebSocket connections to the game's TCP servers, and only to servers on its
allowlist. "quillfern --headless" runs the bridge alone, for a local browser;
the systemd user unit quillfern-bridge.service runs it as a service.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quillfern_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# Depends comes from the libraries the executable links (dpkg-shlibdeps). The allowlist is
# fetched over HTTPS, which needs the CA certificates libcurl verifies against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
include(CPack)

if(QUILLFERN_BUILD_TESTS)
  add_test(NAME package
           COMMAND "${packagingSource}/check-package.sh" "${CMAKE_COMMAND}" "${CMAKE_CPACK_COMMAND}"
                   "${PROJECT_BINARY_DIR}" "${PROJECT_VERSION}" ${quillfernIconSizes})
  set_tests_properties(package PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
