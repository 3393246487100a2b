# Windows: the texts, icon, manifest, version and payload images as real resources, compiled by
# windres into the OBJECT library rt88h_resources_rc; rt88h_resources reads them at run time.
enable_language(RC)

set(rc_dir "${CMAKE_CURRENT_SOURCE_DIR}/windows")
set(rc_out "${CMAKE_CURRENT_BINARY_DIR}/windows")
file(MAKE_DIRECTORY "${rc_out}")

# The icon: the PNGs the Linux window uses, as PNG entries of one .ico.
set(rc_icon "${rc_out}/rt88h-updater.ico")
set(rc_icon_pngs "")
foreach(px IN ITEMS 16 24 32 48 64 256)
  list(APPEND rc_icon_pngs "${PROJECT_SOURCE_DIR}/resources/icons/icon-${px}.png")
endforeach()
add_custom_command(
  OUTPUT "${rc_icon}"
  COMMAND "${rc_dir}/make-ico" "${rc_icon}" ${rc_icon_pngs}
  DEPENDS "${rc_dir}/make-ico" ${rc_icon_pngs}
  COMMENT "Making the Windows icon"
  VERBATIM)

set(RT88H_VERSION_DOTS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(rc_manifest "${rc_out}/rt88h-updater.manifest")
configure_file("${rc_dir}/rt88h-updater.manifest.in" "${rc_manifest}" @ONLY)

string(REPLACE "." "," rc_version_commas "${RT88H_VERSION_DOTS}")
if(payload_generated)
  # A test-image build says so in its file properties too.
  set(rc_file_flags "VS_FF_SPECIALBUILD")
  set(rc_description "RT-88H Updater (TEST IMAGES, not firmware)")
  set(rc_comments "VALUE \"SpecialBuild\", \"TEST IMAGES: generated placeholder images, never flash them into a device\\0\"")
else()
  set(rc_file_flags "0")
  set(rc_description "RT-88H Updater")
  set(rc_comments "")
endif()
set(rc_source "${rc_out}/rt88h.rc")
configure_file("${rc_dir}/rt88h.rc.in" "${rc_source}" @ONLY)
# windres's dependencies are not scanned: every file the .rc reads is named here.
set_source_files_properties("${rc_source}" PROPERTIES OBJECT_DEPENDS
  "${payload_images};${rc_icon};${rc_manifest};${CMAKE_CURRENT_SOURCE_DIR}/string_table.def")

# OBJECT, not in an archive: an archive member nothing refers to is left out by the linker.
add_library(rt88h_resources_rc OBJECT "${rc_source}")
rt88h_headers(rt88h_resources_rc PRIVATE resources)

add_library(rt88h_resources STATIC
  windows/string_table_win32.cpp
  windows/payload_images_win32.cpp
  "${payload_digests}"
)
# Every program that links the resources gets the resource object once, unless it names it itself.
target_link_libraries(rt88h_resources INTERFACE
  "$<$<AND:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>,$<NOT:$<IN_LIST:rt88h_resources_rc,$<TARGET_PROPERTY:LINK_LIBRARIES>>>>:$<TARGET_OBJECTS:rt88h_resources_rc>>")

