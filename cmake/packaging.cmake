# Installation as a desktop program, and the Debian package (cpack -G DEB).
# Included at the end of the top-level CMakeLists.txt, so every target exists by now.
include(GNUInstallDirs)

# The AppStream id must be reverse-DNS. The project has no domain of its own, so it claims none:
# .local names are never registered globally. Change it here and in the metainfo once it has one.
set(RT88H_APPSTREAM_ID "local.rt88h.updater")
set(RT88H_PACKAGE_CONTACT "RT-88H Updater maintainers <rt88h-updater@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Only this component goes into the package, whatever else has install rules.
set(rt88h_component rt88h)
set(rt88h_res "${PROJECT_SOURCE_DIR}/resources")
set(rt88h_gen "${PROJECT_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${rt88h_gen}")

# Whether the build embeds generated placeholder images: resources/ knows; ask its scope.
get_directory_property(rt88h_images_generated DIRECTORY "${PROJECT_SOURCE_DIR}/resources"
                       DEFINITION payload_generated)
if(rt88h_images_generated STREQUAL "")
  if(RT88H_PAYLOAD_DIR STREQUAL "")
    set(rt88h_images_generated 1)
  else()
    set(rt88h_images_generated 0)
  endif()
endif()

# --- Programs -------------------------------------------------------------------------------
# The demo carries a simulated device: a development aid, never installed.
foreach(program IN ITEMS rt88h-updater rt88h-devsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
            COMPONENT ${rt88h_component})
  endif()
endforeach()

# --- Icon, desktop entry, AppStream metainfo ----------------------------------------------------
install(FILES "${rt88h_res}/icon.svg" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
        RENAME rt88h-updater.svg COMPONENT ${rt88h_component})

# Rendered from the SVG at build time so the two can never disagree.
find_program(RT88H_RSVG_CONVERT rsvg-convert)
if(RT88H_RSVG_CONVERT)
  set(rt88h_icon_png "${rt88h_gen}/icon-256.png")
  add_custom_command(
    OUTPUT "${rt88h_icon_png}"
    COMMAND "${RT88H_RSVG_CONVERT}" --width=256 --height=256 --keep-aspect-ratio
            --output "${rt88h_icon_png}" "${rt88h_res}/icon.svg"
    DEPENDS "${rt88h_res}/icon.svg"
    COMMENT "Rendering the 256x256 application icon"
    VERBATIM)
  add_custom_target(rt88h_icon_png ALL DEPENDS "${rt88h_icon_png}")
  install(FILES "${rt88h_icon_png}" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps"
          RENAME rt88h-updater.png COMPONENT ${rt88h_component})
else()
  message(WARNING "rsvg-convert not found (Debian package librsvg2-bin): the 256x256 icon "
                  "is left out of the installation; scripts/bootstrap installs it")
endif()

install(FILES "${rt88h_res}/rt88h-updater.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications" COMPONENT ${rt88h_component})
install(FILES "${rt88h_res}/rt88h-updater.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo"
        RENAME "${RT88H_APPSTREAM_ID}.metainfo.xml" COMPONENT ${rt88h_component})

# --- Manual pages and documentation --------------------------------------------------------------
set(rt88h_man_pages "")
foreach(page IN ITEMS rt88h-updater rt88h-devsim)
  list(APPEND rt88h_man_pages "${PROJECT_SOURCE_DIR}/docs/man/${page}.1")
endforeach()
find_program(RT88H_GZIP gzip)
if(RT88H_GZIP)
  # Compressed as Debian ships them; -n keeps the package reproducible.
  set(rt88h_man_gz "")
  foreach(page IN LISTS rt88h_man_pages)
    get_filename_component(name "${page}" NAME)
    add_custom_command(
      OUTPUT "${rt88h_gen}/${name}.gz"
      COMMAND "${RT88H_GZIP}" -9 -n -c "${page}" > "${rt88h_gen}/${name}.gz"
      DEPENDS "${page}"
      COMMENT "Compressing the manual page ${name}")
    list(APPEND rt88h_man_gz "${rt88h_gen}/${name}.gz")
  endforeach()
  add_custom_target(rt88h_man_pages ALL DEPENDS ${rt88h_man_gz})
  install(FILES ${rt88h_man_gz} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT ${rt88h_component})
else()
  install(FILES ${rt88h_man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT ${rt88h_component})
endif()
install(FILES "${PROJECT_SOURCE_DIR}/README.md"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/rt88h-updater" COMPONENT ${rt88h_component})

# --- Debian package ------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME "rt88h-updater")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${RT88H_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VENDOR "RT-88H Updater")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};${rt88h_component};/")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/package")

set(rt88h_summary "firmware updater for the RT-88H USB-MIDI effects device")
# string(CONCAT) keeps the text's semicolons; a list would eat them.
string(CONCAT rt88h_description
    "Rewrites the flash memory of one RT-88H over MIDI System Exclusive: pick the\n"
    "device's MIDI input and output, press Execute. Up to 20 copies run side by side,\n"
    "one per device. Talks to the ALSA sequencer and, when a server runs, to JACK\n"
    "(PipeWire's bridges included). Also contains rt88h-devsim, a simulated device\n"
    "for trying the updater without hardware.")

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE rt88h_deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rt88h_dpkg_result)
if(NOT rt88h_dpkg_result EQUAL 0 OR rt88h_deb_arch STREQUAL "")
  set(rt88h_deb_arch "amd64")
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${rt88h_deb_arch}")

if(rt88h_images_generated)
  # A package with placeholder images must never pass for a release: it says so in its file
  # name and description, and its version sorts below the release of the same number.
  set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}~testimages")
  set(CPACK_DEBIAN_FILE_NAME "rt88h-updater-testimages_${PROJECT_VERSION}_${rt88h_deb_arch}.deb")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${rt88h_summary} (TEST IMAGES, not firmware)")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
      "TEST IMAGES: this build carries generated placeholder images instead of the\n"
      "device's firmware. Never use it to update a device; for development only.\n"
      "\n"
      "${rt88h_description}")
else()
  set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(CPACK_DEBIAN_FILE_NAME "rt88h-updater_${PROJECT_VERSION}_${rt88h_deb_arch}.deb")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${rt88h_summary}")
  set(CPACK_PACKAGE_DESCRIPTION "${rt88h_description}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

# dpkg-shlibdeps (dpkg-dev) knows the exact library packages and versions; without it the
# list below is the fallback. JACK is settled at packaging time (cpack_project_config below).
find_program(RT88H_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(RT88H_FILE_COMMAND file)
if(RT88H_DPKG_SHLIBDEPS AND RT88H_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(RT88H_FALLBACK_DEPENDS "")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(RT88H_FALLBACK_DEPENDS
      "libqt6widgets6, libqt6gui6, libqt6dbus6, libqt6core6, libasound2, libstdc++6, libc6")
endif()
# The Japanese texts of the window need a CJK font.
# The JACK server is optional: without one the JACK list is simply empty.
set(RT88H_RECOMMENDS "fonts-noto-cjk, jackd2 | pipewire-jack")
set(RT88H_JACK_ALTERNATIVES "libjack-jackd2-0 | libjack0")

# Whether the program needs libjack to start is read from the built binary when cpack runs:
# a direct link makes JACK a dependency, a run-time load only a recommendation.
find_program(RT88H_READELF NAMES readelf "${CMAKE_READELF}")
set(rt88h_cpack_config "${rt88h_gen}/cpack_project_config.cmake")
set(rt88h_updater_file "")
if(TARGET rt88h-updater)
  set(rt88h_updater_file "$<TARGET_FILE:rt88h-updater>")
endif()
file(GENERATE OUTPUT "${rt88h_cpack_config}" CONTENT "\
# Generated by cmake/packaging.cmake: settles JACK as Depends or Recommends.
if(CPACK_GENERATOR STREQUAL \"DEB\")
  set(rt88h_jack_needed 0)
  if(EXISTS \"${rt88h_updater_file}\" AND EXISTS \"${RT88H_READELF}\")
    execute_process(COMMAND \"${RT88H_READELF}\" -d \"${rt88h_updater_file}\"
                    OUTPUT_VARIABLE rt88h_dynamic ERROR_QUIET)
    if(rt88h_dynamic MATCHES \"NEEDED[^\\n]*libjack\")
      set(rt88h_jack_needed 1)
    endif()
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS \"${RT88H_FALLBACK_DEPENDS}\")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS \"${RT88H_RECOMMENDS}\")
  if(rt88h_jack_needed)
    if(NOT CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS \", ${RT88H_JACK_ALTERNATIVES}\")
    endif()
  else()
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS \"${RT88H_JACK_ALTERNATIVES}, ${RT88H_RECOMMENDS}\")
  endif()
endif()
")
set(CPACK_PROJECT_CONFIG_FILE "${rt88h_cpack_config}")

include(CPack)

# --- Tests of the package ------------------------------------------------------------------------
# Added from here: they need the settings above, which tests/ has not seen yet.
get_property(rt88h_package_tests_added GLOBAL PROPERTY RT88H_PACKAGE_TESTS_ADDED)
if(RT88H_BUILD_TESTS AND NOT rt88h_package_tests_added
   AND EXISTS "${PROJECT_SOURCE_DIR}/tests/package/CMakeLists.txt")
  add_subdirectory("${PROJECT_SOURCE_DIR}/tests/package" "${PROJECT_BINARY_DIR}/tests/package")
endif()
