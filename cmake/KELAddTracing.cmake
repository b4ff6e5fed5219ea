# kel_add_tracing(<target> TEMPLATE <file.xml> [LANGUAGES <C|CXX>...] [LINK_WRAP])
# kel_add_tracing(<target> TEMPLATES <a.xml> <b.xml>... [LANGUAGES <C|CXX>...] [LINK_WRAP])
#
# Traces <target>'s calls with the library that kelgen generates from the
# template, or from several templates merged into one (kelgen --merge: the
# first one's settings, every one's domains; the trace embeds the merged
# template):
# - kel.h and kel.c are generated at build time into
#   <build>/kel/<templates>_<hash>/, and again whenever a template changes;
# - kel.c is built once per template list into a shared runtime library that
#   every traced target links, so that an executable and the shared
#   libraries it links share one copy of the runtime's globals, one kel_start
#   and one trace; its target's name is in the traced target's KEL_RUNTIME
#   property;
# - the runtime is linked in the build tree only ($<BUILD_INTERFACE>), so a
#   project that installs and exports its targets needs no change;
# - kel.h is force-included (-include) into the target's sources of the
#   LANGUAGES given (default: C and CXX), so no source changes; with the
#   template's auto_start="true" no kel_start call is needed either;
# - the runtime is built with default visibility and without the project's
#   linker version scripts, so its entry points stay visible when the project
#   builds with -fvisibility=hidden or links with "local: *;".
# - LINK_WRAP (the first template says link_wrap="true"): the target is
#   linked with -Wl,--wrap=NAME for each function the runtime wraps (the
#   list kelgen --wrap-flags writes, read by the linker from a response
#   file), so that calls kel.h does not rewrite (through a function pointer,
#   from a source built with KEL_NO_REDEF) are traced too; the runtime is
#   linked with the same flags whenever its template has link_wrap.
# gcc and clang only (-include, -fvisibility). All traced targets of one
# program use the same template list: two runtimes in one process would
# define the same symbols.
#
# kel_add_trace_check(<name> [DIRECTORY <dir>] [TESTS <test>...] [OPTIONS <keltrace option>...])
#
# One CTest test that analyses the traces of a test suite after it ran: the
# TESTS given (default: every test of the current folder added so far) write
# their traces into <dir> (KEL_TRACE_DIR; default <current build folder>/kel-traces),
# which a setup test empties first; the test <name> then runs
# keltrace OPTIONS --file <dir> (default OPTIONS: --group --error-exitcode 1)
# as the suite's fixture cleanup, after the last of them, whether they passed
# or not.
include_guard(GLOBAL)

if(NOT CMAKE_C_COMPILER_LOADED)
  enable_language(C)  # kel.c is C, also in a C++ project
endif()
find_package(Threads REQUIRED)


# The runtime library of one template, or of one list of templates: created
# at the first call that names it, found by the later ones. Its target's
# name is in the traced target's KEL_RUNTIME property.
function(_kel_runtime templates out_runtime out_dir)
  string(JOIN ";" joined ${templates})
  string(MD5 key "${joined}")
  string(SUBSTRING "${key}" 0 8 key)
  set(stems "")
  foreach(template IN LISTS templates)
    get_filename_component(stem "${template}" NAME_WE)
    list(APPEND stems "${stem}")
  endforeach()
  string(JOIN "+" stem ${stems})
  string(MAKE_C_IDENTIFIER "${stem}" stem)
  set(runtime "kel_runtime_${stem}_${key}")
  set(dir "${CMAKE_BINARY_DIR}/kel/${stem}_${key}")
  if(NOT TARGET ${runtime})
    _kel_link_wrap("${templates}" _kel_link_wrap)
    set(_kel_runtime ${runtime})
    set(_kel_dir "${dir}")
    set(_kel_stem "${stem}")
    set(_kel_templates ${templates})
    # Taken from the function's own file, not from a variable set when this
    # file was included: include_guard(GLOBAL) includes it once, in the scope
    # of the first find_package(KEL), which may be a subfolder.
    add_subdirectory("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/runtime" "${dir}/build")
  endif()
  set(${out_runtime} ${runtime} PARENT_SCOPE)
  set(${out_dir} ${dir} PARENT_SCOPE)
endfunction()

# Whether the first template (whose settings a merged one keeps) asks for
# the linker route.
function(_kel_link_wrap templates out)
  list(GET templates 0 first)
  file(READ "${first}" text)
  if(text MATCHES "link_wrap[ \t\r\n]*=[ \t\r\n]*[\"']true[\"']")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(kel_add_tracing target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "LINK_WRAP" "TEMPLATE" "TEMPLATES;LANGUAGES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kel_add_tracing(${target}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "kel_add_tracing: there is no target named '${target}'")
  endif()
  if(arg_TEMPLATE AND arg_TEMPLATES)
    message(FATAL_ERROR "kel_add_tracing(${target}): TEMPLATE and TEMPLATES exclude each other")
  endif()
  if(NOT arg_TEMPLATE AND NOT arg_TEMPLATES)
    message(FATAL_ERROR "kel_add_tracing(${target}): TEMPLATE <file.xml> or TEMPLATES <file.xml>... is required")
  endif()
  if(NOT arg_LANGUAGES)
    set(arg_LANGUAGES C CXX)
  endif()
  foreach(lang IN LISTS arg_LANGUAGES)
    if(NOT lang MATCHES "^(C|CXX)$")
      message(FATAL_ERROR "kel_add_tracing(${target}): LANGUAGES takes C and CXX, not '${lang}'")
    endif()
  endforeach()
  set(templates "")
  foreach(given IN LISTS arg_TEMPLATE arg_TEMPLATES)
    get_filename_component(template "${given}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT EXISTS "${template}")
      message(FATAL_ERROR "kel_add_tracing(${target}): no template at ${template}")
    endif()
    list(APPEND templates "${template}")
  endforeach()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)$")
    message(FATAL_ERROR "kel_add_tracing(${target}): a ${type} has no sources to trace")
  endif()

  _kel_runtime("${templates}" runtime dir)
  set_property(TARGET ${target} PROPERTY KEL_RUNTIME ${runtime})
  # Properties rather than target_link_libraries, which refuses to mix its
  # plain and keyword forms on one target: the project may use either. The
  # runtime is linked as a file of the build tree, not as a target, so that
  # install(EXPORT) of a traced target asks the project for nothing: a traced
  # build is run where it was built (the build RPATH finds the runtime).
  set(file "$<BUILD_INTERFACE:$<TARGET_FILE:${runtime}>>")
  set_property(TARGET ${target} APPEND PROPERTY LINK_LIBRARIES "${file}")
  if(type MATCHES "^(STATIC|OBJECT)_LIBRARY$")
    set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_LIBRARIES "$<LINK_ONLY:${file}>")
  endif()
  # A source may still #include "kel.h" (to call kel_start itself).
  set_property(TARGET ${target} APPEND PROPERTY INCLUDE_DIRECTORIES "${dir}")
  # The runtime must be built before the target links it, and the header
  # must exist before the first source that force-includes it.
  add_dependencies(${target} ${runtime})
  if(arg_LINK_WRAP)
    _kel_link_wrap("${templates}" wraps)
    if(NOT wraps)
      list(GET templates 0 first)
      message(FATAL_ERROR "kel_add_tracing(${target}): LINK_WRAP needs link_wrap=\"true\" on the root of ${first}")
    endif()
    # gcc reads the -Wl,--wrap=NAME flags from the file kelgen writes
    # beside kel.c at build time.
    set(flags "${dir}/kel-wrap.flags")
    set_property(TARGET ${target} APPEND PROPERTY LINK_OPTIONS "@${flags}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${flags}")
    if(type MATCHES "^(STATIC|OBJECT)_LIBRARY$")
      set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_OPTIONS "@${flags}")
    endif()
  endif()
  string(JOIN "," langs ${arg_LANGUAGES})
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:${langs}>:SHELL:-include \"${dir}/kel.h\">")
endfunction()

function(kel_add_trace_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIRECTORY" "TESTS;OPTIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kel_add_trace_check(${name}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_DIRECTORY)
    set(arg_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/kel-traces")
  endif()
  get_filename_component(dir "${arg_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  if(NOT arg_TESTS)
    get_property(arg_TESTS DIRECTORY PROPERTY TESTS)
  endif()
  if(NOT arg_TESTS)
    message(FATAL_ERROR "kel_add_trace_check(${name}): no tests to check (add them first, or name them in TESTS)")
  endif()
  if(NOT arg_OPTIONS)
    set(arg_OPTIONS --group --error-exitcode 1)
  endif()
  # Traces of an earlier run would be counted again.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_empty_traces.cmake")
  file(WRITE "${script}" "file(REMOVE_RECURSE \"${dir}\")\nfile(MAKE_DIRECTORY \"${dir}\")\n")
  add_test(NAME ${name}_empty_traces COMMAND "${CMAKE_COMMAND}" -P "${script}")
  set_tests_properties(${name}_empty_traces PROPERTIES FIXTURES_SETUP ${name})
  foreach(test IN LISTS arg_TESTS)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "KEL_TRACE_DIR=${dir}")
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED ${name})
  endforeach()
  add_test(NAME ${name} COMMAND KEL::keltrace ${arg_OPTIONS} --file "${dir}")
  set_tests_properties(${name} PROPERTIES FIXTURES_CLEANUP ${name})
endfunction()
