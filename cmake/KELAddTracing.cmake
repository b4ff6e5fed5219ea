# kel_add_tracing(<target> TEMPLATE <file.xml> [LANGUAGES <C|CXX>...])
#
# Traces <target>'s calls with the library that kelgen generates from the
# template:
# - kel.h and kel.c are generated at build time into
#   <build>/kel/<template>_<hash>/, and again whenever the template changes;
# - kel.c is built once per template into a shared runtime library that every
#   traced target links, so that an executable and the shared libraries it
#   links share one copy of the runtime's globals, one kel_start and one
#   trace;
# - kel.h is force-included (-include) into the target's sources of the
#   LANGUAGES given (default: C and CXX), so no source changes; with the
#   template's auto_start="true" no kel_start call is needed either;
# - the runtime is built with default visibility, so its wrappers stay
#   visible when the project builds with -fvisibility=hidden.
# gcc and clang only (-include, -fvisibility). All traced targets of one
# program use the same template: two runtimes in one process would define
# the same symbols.
include_guard(GLOBAL)

if(NOT CMAKE_C_COMPILER_LOADED)
  enable_language(C)  # kel.c is C, also in a C++ project
endif()
find_package(Threads REQUIRED)

# The runtime library of one template: created at the first call that names
# the template, found by the later ones.
function(_kel_runtime template out_runtime out_dir)
  string(MD5 key "${template}")
  string(SUBSTRING "${key}" 0 8 key)
  get_filename_component(stem "${template}" NAME_WE)
  string(MAKE_C_IDENTIFIER "${stem}" stem)
  set(runtime "kel_runtime_${stem}_${key}")
  set(dir "${CMAKE_BINARY_DIR}/kel/${stem}_${key}")
  if(NOT TARGET ${runtime})
    add_custom_command(OUTPUT "${dir}/kel.h" "${dir}/kel.c"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
      COMMAND KEL::kelgen "${template}" "${dir}/kel.h" "${dir}/kel.c"
      DEPENDS "${template}" "$<TARGET_FILE:KEL::kelgen>"
      COMMENT "Generating the KEL tracing library from ${template}"
      VERBATIM)
    add_library(${runtime} SHARED "${dir}/kel.c" "${dir}/kel.h")
    set_target_properties(${runtime} PROPERTIES
      OUTPUT_NAME "kel_${stem}"
      LIBRARY_OUTPUT_DIRECTORY "${dir}"
      LINKER_LANGUAGE C
      C_VISIBILITY_PRESET default)
    # After any -fvisibility=hidden of the project's flags: the wrappers,
    # kel_start and the globals are what the traced targets link to.
    target_compile_options(${runtime} PRIVATE -fvisibility=default)
    target_link_libraries(${runtime} PRIVATE Threads::Threads)
    # A source may still #include "kel.h" (to call kel_start itself).
    target_include_directories(${runtime} INTERFACE "$<BUILD_INTERFACE:${dir}>")
  endif()
  set(${out_runtime} ${runtime} PARENT_SCOPE)
  set(${out_dir} ${dir} PARENT_SCOPE)
endfunction()

function(kel_add_tracing target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEMPLATE" "LANGUAGES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kel_add_tracing(${target}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "kel_add_tracing: there is no target named '${target}'")
  endif()
  if(NOT arg_TEMPLATE)
    message(FATAL_ERROR "kel_add_tracing(${target}): TEMPLATE <file.xml> is required")
  endif()
  if(NOT arg_LANGUAGES)
    set(arg_LANGUAGES C CXX)
  endif()
  foreach(lang IN LISTS arg_LANGUAGES)
    if(NOT lang MATCHES "^(C|CXX)$")
      message(FATAL_ERROR "kel_add_tracing(${target}): LANGUAGES takes C and CXX, not '${lang}'")
    endif()
  endforeach()
  get_filename_component(template "${arg_TEMPLATE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(NOT EXISTS "${template}")
    message(FATAL_ERROR "kel_add_tracing(${target}): no template at ${template}")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)$")
    message(FATAL_ERROR "kel_add_tracing(${target}): a ${type} has no sources to trace")
  endif()

  _kel_runtime("${template}" runtime dir)
  # Properties rather than target_link_libraries, which refuses to mix its
  # plain and keyword forms on one target: the project may use either.
  set_property(TARGET ${target} APPEND PROPERTY LINK_LIBRARIES ${runtime})
  if(type MATCHES "^(STATIC|OBJECT)_LIBRARY$")
    set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_LIBRARIES "$<LINK_ONLY:${runtime}>")
  endif()
  # The header must exist before the first source that force-includes it.
  add_dependencies(${target} ${runtime})
  string(JOIN "," langs ${arg_LANGUAGES})
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:${langs}>:SHELL:-include \"${dir}/kel.h\">")
endfunction()
