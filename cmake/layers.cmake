# Layers by include path. Every header is included as "folder/name.h" from the top of the tree,
# but only through a target that offers that folder: rt88h_headers(target SCOPE folder) gives
# the target an include root of its own holding links to the headers directly in `folder`
# (subfolders are other targets'). PUBLIC offers them to whatever links the target; PRIVATE to
# its own sources alone. A file that reaches into a layer its target does not link fails to
# compile.
function(rt88h_headers target scope folder)
  string(REPLACE "/" "." tag "${folder}")
  set(root "${PROJECT_BINARY_DIR}/include/${target}/${tag}")
  set(source "${PROJECT_SOURCE_DIR}/${folder}")
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE "${source}" "${source}/*.h" "${source}/*.def")
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${root}/${folder}")
  foreach(header IN LISTS headers)
    file(CREATE_LINK "${source}/${header}" "${root}/${folder}/${header}" SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} "${root}")
endfunction()
