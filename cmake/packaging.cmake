# Installation as a desktop program, and the Debian package (cpack -G DEB).
# Included at the end of the top-level CMakeLists.txt, so every target exists by now.
include(GNUInstallDirs)

# The AppStream id must be reverse-DNS. The project has no domain of its own, so it claims none:
# .local names are never registered globally. Change it here and in the metainfo once it has one.
set(RT88H_APPSTREAM_ID "local.rt88h.updater")
set(RT88H_DEVELOPER_ID "local.rt88h")
# Nor has it a mail address or a website: until it has them, its addresses are under .invalid,
# which names nothing and never will (RFC 6761), rather than under someone else's domain. A
# release sets both.
unset(RT88H_PACKAGE_CONTACT CACHE)  # this setting's earlier name, with an address not ours
set(RT88H_MAINTAINER "rt88h-updater developers <dev@rt88h.invalid>"
    CACHE STRING "Maintainer of the Debian package, and the copyright file's contact")
set(RT88H_HOMEPAGE_URL "https://rt88h.invalid/"
    CACHE STRING "The project's homepage, ending in /: AppStream, the copyright file's Source")

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
foreach(program IN ITEMS rt88h-updater rt88h-update rt88h-devsim)
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

# --- Releases: packaging/debian/changelog is their one record --------------------------------
# Its newest entry must be this version; the metainfo's <releases> and the manual pages' date
# are read from it.
set(rt88h_changelog "${PROJECT_SOURCE_DIR}/packaging/debian/changelog")
set(rt88h_screenshot "${PROJECT_SOURCE_DIR}/docs/screenshot.png")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${rt88h_changelog}" "${PROJECT_SOURCE_DIR}/LICENSE" "${rt88h_screenshot}")
file(READ "${rt88h_changelog}" rt88h_changelog_text)
# Semicolons would split the lines below; they come back in the texts.
string(REPLACE ";" "<semicolon>" rt88h_lines "${rt88h_changelog_text}")
string(REPLACE "\n" ";" rt88h_lines "${rt88h_lines}")
set(rt88h_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
set(RT88H_METAINFO_RELEASES "")
set(RT88H_RELEASE_DATE "")
set(rt88h_release_version "")
set(rt88h_items "")
set(rt88h_item "")
macro(rt88h_end_item)
  if(NOT rt88h_item STREQUAL "")
    string(REPLACE "&" "&amp;" rt88h_item "${rt88h_item}")
    string(REPLACE "<semicolon>" ";" rt88h_item "${rt88h_item}")
    string(REPLACE "<" "&lt;" rt88h_item "${rt88h_item}")
    string(REPLACE ">" "&gt;" rt88h_item "${rt88h_item}")
    string(APPEND rt88h_items "          <li>${rt88h_item}</li>\n")
    set(rt88h_item "")
  endif()
endmacro()
foreach(line IN LISTS rt88h_lines)
  if(line MATCHES "^rt88h-updater \\(([^)]+)\\)")
    set(rt88h_release_version "${CMAKE_MATCH_1}")
    if(NOT DEFINED rt88h_newest_version)
      set(rt88h_newest_version "${rt88h_release_version}")
    endif()
  elseif(line MATCHES "^  \\* (.*)")
    rt88h_end_item()
    set(rt88h_item "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^    +(.*)")
    string(APPEND rt88h_item " ${CMAKE_MATCH_1}")
  elseif(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9]+) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(rt88h_day "${CMAKE_MATCH_1}")
    set(rt88h_year "${CMAKE_MATCH_3}")
    list(FIND rt88h_months "${CMAKE_MATCH_2}" rt88h_month)
    rt88h_end_item()
    math(EXPR rt88h_month "${rt88h_month} + 1")
    if(rt88h_month LESS 10)
      set(rt88h_month "0${rt88h_month}")
    endif()
    string(LENGTH "${rt88h_day}" rt88h_day_digits)
    if(rt88h_day_digits EQUAL 1)
      set(rt88h_day "0${rt88h_day}")
    endif()
    set(rt88h_date "${rt88h_year}-${rt88h_month}-${rt88h_day}")
    if(RT88H_RELEASE_DATE STREQUAL "")
      set(RT88H_RELEASE_DATE "${rt88h_date}")
    endif()
    string(APPEND RT88H_METAINFO_RELEASES
           "    <release version=\"${rt88h_release_version}\" date=\"${rt88h_date}\">\n"
           "      <description>\n        <ul>\n${rt88h_items}        </ul>\n      </description>\n"
           "    </release>\n")
    set(rt88h_items "")
  endif()
endforeach()
if(NOT rt88h_newest_version STREQUAL PROJECT_VERSION OR RT88H_RELEASE_DATE STREQUAL "")
  message(FATAL_ERROR "packaging/debian/changelog: the newest entry is \"${rt88h_newest_version}\" "
                      "(dated \"${RT88H_RELEASE_DATE}\"), the project's VERSION ${PROJECT_VERSION}: "
                      "add an entry for the new version")
endif()

# The screenshot's size, from its PNG header (width and height after the signature and IHDR).
file(READ "${rt88h_screenshot}" rt88h_png_size HEX OFFSET 16 LIMIT 8)
string(SUBSTRING "${rt88h_png_size}" 0 8 rt88h_png_width)
string(SUBSTRING "${rt88h_png_size}" 8 8 rt88h_png_height)
math(EXPR RT88H_SCREENSHOT_WIDTH "0x${rt88h_png_width}")
math(EXPR RT88H_SCREENSHOT_HEIGHT "0x${rt88h_png_height}")
set(RT88H_SCREENSHOT_URL "${RT88H_HOMEPAGE_URL}docs/screenshot.png")

set(rt88h_metainfo "${rt88h_gen}/${RT88H_APPSTREAM_ID}.metainfo.xml")
configure_file("${rt88h_res}/rt88h-updater.metainfo.xml.in" "${rt88h_metainfo}" @ONLY)
install(FILES "${rt88h_metainfo}" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo"
        COMPONENT ${rt88h_component})

# --- Manual pages and documentation --------------------------------------------------------------
# Compressed as Debian ships them; -n keeps the package reproducible.
find_program(RT88H_GZIP gzip)
function(rt88h_install_doc source destination)
  get_filename_component(name "${source}" NAME)
  if(RT88H_GZIP)
    add_custom_command(
      OUTPUT "${source}.gz"
      COMMAND "${RT88H_GZIP}" -9 -n -c "${source}" > "${source}.gz"
      DEPENDS "${source}"
      COMMENT "Compressing ${name}")
    set_property(GLOBAL APPEND PROPERTY RT88H_COMPRESSED_DOCS "${source}.gz")
    install(FILES "${source}.gz" DESTINATION "${destination}" COMPONENT ${rt88h_component})
  else()
    install(FILES "${source}" DESTINATION "${destination}" COMPONENT ${rt88h_component})
  endif()
endfunction()

# The pages carry the version and the release's date.
file(MAKE_DIRECTORY "${rt88h_gen}/man")
foreach(page IN ITEMS rt88h-updater rt88h-update rt88h-devsim)
  configure_file("${PROJECT_SOURCE_DIR}/docs/man/${page}.1" "${rt88h_gen}/man/${page}.1" @ONLY)
  rt88h_install_doc("${rt88h_gen}/man/${page}.1" "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()

# The package is its own upstream (native): its changelog is changelog.gz. A test-image package's
# newest entry carries that package's version.
set(rt88h_docdir "${CMAKE_INSTALL_DATADIR}/doc/rt88h-updater")
set(rt88h_changelog_out "${rt88h_changelog_text}")
if(rt88h_images_generated)
  string(REPLACE "rt88h-updater (${PROJECT_VERSION})" "rt88h-updater (${PROJECT_VERSION}~testimages)"
         rt88h_changelog_out "${rt88h_changelog_out}")
endif()
file(WRITE "${rt88h_gen}/changelog" "${rt88h_changelog_out}")
rt88h_install_doc("${rt88h_gen}/changelog" "${rt88h_docdir}")

# The copyright file in Debian's machine-readable format, its licence text taken from LICENSE.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" rt88h_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" rt88h_copyright_line "${rt88h_license}")
set(rt88h_copyright_holders "${CMAKE_MATCH_1}")
string(FIND "${rt88h_license}" "Permission is hereby granted" rt88h_grant)
string(SUBSTRING "${rt88h_license}" ${rt88h_grant} -1 rt88h_license)
string(STRIP "${rt88h_license}" rt88h_license)
string(REPLACE "\n\n" "\n.\n" rt88h_license "${rt88h_license}")
string(REPLACE "\n" "\n " rt88h_license "${rt88h_license}")
if(rt88h_images_generated)
  set(rt88h_images_comment "The images built into the programs are test images the build generates.")
else()
  string(CONCAT rt88h_images_comment
      "The firmware images built into the programs were given to the build\n"
      " (RT88H_PAYLOAD_DIR); they are not part of this source and this licence does\n"
      " not cover them.")
endif()
file(WRITE "${rt88h_gen}/copyright" "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: rt88h-updater
Upstream-Contact: ${RT88H_MAINTAINER}
Source: ${RT88H_HOMEPAGE_URL}
Comment: ${rt88h_images_comment}

Files: *
Copyright: ${rt88h_copyright_holders}
License: Expat
 ${rt88h_license}
")
install(FILES "${rt88h_gen}/copyright" DESTINATION "${rt88h_docdir}" COMPONENT ${rt88h_component})
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${rt88h_docdir}"
        COMPONENT ${rt88h_component})
get_property(rt88h_compressed_docs GLOBAL PROPERTY RT88H_COMPRESSED_DOCS)
if(rt88h_compressed_docs)
  add_custom_target(rt88h_compressed_docs ALL DEPENDS ${rt88h_compressed_docs})
endif()

# --- Debian package ------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME "rt88h-updater")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${RT88H_MAINTAINER}")
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
    "device's MIDI input and output, press Execute. Up to 20 copies run side by\n"
    "side, one per device. Talks to the ALSA sequencer and, when a server runs, to\n"
    "JACK (PipeWire's bridges included). rt88h-update runs the same update from a\n"
    "terminal, without a display. Also contains rt88h-devsim, a simulated device\n"
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
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${rt88h_summary} (TEST IMAGES)")
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
