# The preload bindings: kelgen --preload writes one C file from a template,
# built here into libkel-NAME-preload.so and installed into LIBDIR/kel, where
# kelrun finds it, so that tracing a program needs no compiler.
#   kel_add_preload_binding(NAME TEMPLATE)
include(GNUInstallDirs)
find_package(Threads REQUIRED)

function(kel_add_preload_binding name template)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/kel-${name}-preload.c)
  add_custom_command(OUTPUT ${source}
    COMMAND kelgen --preload ${template} ${source}
    DEPENDS kelgen ${template}
    COMMENT "Writing the ${name} preload binding"
    VERBATIM)
  set(target kel-${name}-preload)
  add_library(${target} SHARED ${source})
  # Loaded into programs that know nothing of this build: none of the
  # directory's options (a sanitizer's runtime could not be preloaded), and
  # only the entry points exported, so that a program built with kel.h keeps
  # its own runtime.
  set_target_properties(${target} PROPERTIES
    COMPILE_OPTIONS "-Wall;-Wextra"
    LINK_OPTIONS ""
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kel)
endfunction()
