# Installs the program like any Linux desktop program (the executables, a desktop entry, AppStream
# metadata, icons, man pages, the copyright and changelog, and a systemd user unit for the
# bridge) and describes the two Debian packages that CPack builds from the same rules (`cpack -G
# DEB` in the build folder): quillfern-bridge holds the bridge alone (its executable, user unit
# and man page) with no window library among its dependencies, so a machine without a desktop
# can install it; quillfern holds the window and depends on it.
include(GNUInstallDirs)

set(packagingSource "${PROJECT_SOURCE_DIR}/packaging")
set(packagingBinary "${PROJECT_BINARY_DIR}/packaging")
# The desktop entry and the icons are named after the application's ID, which is how desktops
# match a running window to its entry.
set(quillfernAppId com.quillfern.Quillfern)

install(TARGETS quillfern_bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bridge)
install(TARGETS quillfern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
install(FILES "${packagingSource}/${quillfernAppId}.desktop"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
install(FILES "${packagingSource}/${quillfernAppId}.metainfo.xml"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
install(FILES "${packagingSource}/${quillfernAppId}.svg"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)

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
    install(FILES "${png}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            COMPONENT app)
  endforeach()
  add_custom_target(quillfern_icons ALL DEPENDS ${renderedIcons})
else()
  message(STATUS "rsvg-convert not found (librsvg2-bin): only the SVG icon will be installed")
endif()

# Installs a file compressed, as Debian keeps man pages and changelogs, when gzip is there.
find_program(QUILLFERN_GZIP gzip)
function(quillfern_install_compressed file destination component)
  get_filename_component(name "${file}" NAME)
  if(NOT QUILLFERN_GZIP)
    install(FILES "${file}" DESTINATION ${destination} COMPONENT ${component})
    return()
  endif()
  set(folder "${packagingBinary}/compressed")
  if(NOT TARGET compress_${name})
    add_custom_command(
      OUTPUT "${folder}/${name}.gz"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
      COMMAND "${CMAKE_COMMAND}" -E copy "${file}" "${folder}/${name}"
      # -n leaves out the name and time, so the same file always compresses to the same bytes.
      COMMAND "${QUILLFERN_GZIP}" -9 -n -f "${folder}/${name}"
      DEPENDS "${file}"
      VERBATIM)
    add_custom_target(compress_${name} ALL DEPENDS "${folder}/${name}.gz")
  endif()
  install(FILES "${folder}/${name}.gz" DESTINATION ${destination} COMPONENT ${component})
endfunction()

# Each package's man page (named after it), copyright file and changelog.
foreach(package quillfern:app quillfern-bridge:bridge)
  string(REPLACE ":" ";" packageAndComponent "${package}")
  list(GET packageAndComponent 0 name)
  list(GET packageAndComponent 1 component)
  configure_file("${packagingSource}/${name}.1.in" "${packagingBinary}/${name}.1" @ONLY)
  quillfern_install_compressed("${packagingBinary}/${name}.1" ${CMAKE_INSTALL_MANDIR}/man1
                               ${component})
  install(FILES "${packagingSource}/copyright"
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
  quillfern_install_compressed("${packagingSource}/changelog"
                               ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} ${component})
endforeach()

# The user unit names the installed executable, whose folder is known only when installing:
# cpack installs under /usr, `cmake --install` under CMAKE_INSTALL_PREFIX or --prefix.
install(CODE "
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${bindir}\")
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
  endif()
  set(QUILLFERN_INSTALLED_BRIDGE \"\${bindir}/quillfern-bridge\")
  file(READ \"${packagingSource}/quillfern-bridge.service.in\" unitTemplate)
  file(CONFIGURE OUTPUT \"${packagingBinary}/quillfern-bridge.service\"
       CONTENT \"\${unitTemplate}\" @ONLY)
" COMPONENT bridge)
# lib/systemd/user under /usr and under /usr/local are both on systemd's user unit path.
install(FILES "${packagingBinary}/quillfern-bridge.service" DESTINATION lib/systemd/user
        COMPONENT bridge)

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)  # quotes and semicolons in the texts reach the package as written
set(CPACK_PACKAGE_NAME quillfern)
set(CPACK_PACKAGE_VENDOR Quillfern)
set(CPACK_PACKAGE_CONTACT "Quillfern developers <developers@quillfern.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL bridge app)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <package>_<version>_<architecture>.deb
# Depends comes from the libraries each package's executable links (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Each package's description starts with its own summary line; an empty common summary keeps
# CPack from putting the same line in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME quillfern-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SOURCE quillfern)  # both come from this one source tree
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_BRIDGE_DESCRIPTION [=[Loopback bridge between a browser game page and its TCP servers
quillfern-bridge serves a loopback bridge on 127.0.0.1:9882 for a browser on
the same machine: it relays the game page's WebSocket connections to the
game's TCP servers, and only to servers on its allowlist, and serves a local
page that starts the game in Ruffle. It needs no desktop. The confined systemd
user unit quillfern-bridge.service runs it as a service.]=])
# The allowlist is fetched over HTTPS, which needs the CA certificates libcurl verifies against.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS ca-certificates)

set(CPACK_DEBIAN_APP_PACKAGE_NAME quillfern)
# Not games: Debian keeps that section for programs installed in /usr/games. The window is a web
# view for one site's game, with the bridge its pages talk to.
set(CPACK_DEBIAN_APP_PACKAGE_SECTION web)
set(CPACK_DEBIAN_APP_DESCRIPTION [=[Player for one browser-hosted Flash game
Quillfern shows one browser-hosted Flash game in its own window, where
Ruffle runs the game. A loopback bridge on 127.0.0.1:9882 relays the page's
WebSocket connections to the game's TCP servers, and only to servers on its
allowlist. "quillfern --headless" runs the bridge alone, for a local browser,
as quillfern-bridge does.]=])
# The window's own bridge and quillfern --headless come from the same build of the bridge.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "quillfern-bridge (= ${PROJECT_VERSION})")
# The window's labels are Chinese; without a CJK font they render as boxes.
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
include(CPack)

if(QUILLFERN_BUILD_TESTS)
  add_test(NAME package
           COMMAND "${packagingSource}/check-package.sh" "${CMAKE_COMMAND}" "${CMAKE_CPACK_COMMAND}"
                   "${PROJECT_BINARY_DIR}" "${PROJECT_VERSION}" ${quillfernIconSizes})
  set_tests_properties(package PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
