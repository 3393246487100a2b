# Windows targets: resources/payloads.S.in is ELF-only (.hidden, .size, .note.GNU-stack), so
# rt88h_resources gets the same images through a PE/COFF twin of it. Included from the top
# level after resources/; goes once resources/payloads.S.in guards its ELF directives itself.
get_directory_property(rt88h_image_dir DIRECTORY "${PROJECT_SOURCE_DIR}/resources"
                       DEFINITION payload_image_dir)
get_directory_property(rt88h_images DIRECTORY "${PROJECT_SOURCE_DIR}/resources"
                       DEFINITION payload_images)
get_directory_property(rt88h_elf_asm DIRECTORY "${PROJECT_SOURCE_DIR}/resources"
                       DEFINITION payloads_asm)
if(rt88h_image_dir STREQUAL "" OR rt88h_elf_asm STREQUAL "")
  message(FATAL_ERROR "payloads-coff.cmake: resources/ no longer sets payload_image_dir and "
                      "payloads_asm; bring this file in line with resources/CMakeLists.txt")
endif()

set(payload_image_dir "${rt88h_image_dir}")
set(rt88h_coff_asm "${PROJECT_BINARY_DIR}/resources/payloads-coff.S")
configure_file("${CMAKE_CURRENT_LIST_DIR}/payloads-coff.S.in" "${rt88h_coff_asm}" @ONLY)

get_target_property(rt88h_resource_sources rt88h_resources SOURCES)
list(REMOVE_ITEM rt88h_resource_sources "${rt88h_elf_asm}")
list(APPEND rt88h_resource_sources "${rt88h_coff_asm}")
set_property(TARGET rt88h_resources PROPERTY SOURCES ${rt88h_resource_sources})
# .incbin is invisible to the dependency scanner.
set_source_files_properties("${rt88h_coff_asm}" DIRECTORY "${PROJECT_SOURCE_DIR}/resources"
                            PROPERTIES OBJECT_DEPENDS "${rt88h_images}")
