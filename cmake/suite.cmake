# One function makes a program of the suite: sources, the suite's static
# libraries it links, output in build/bin, install rule.
set(SUITE_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
# CI builds with warnings as errors: a new warning fails the run.
option(POLYFIELD_WERROR "Treat warnings as errors" OFF)
if(POLYFIELD_WERROR)
  list(APPEND SUITE_WARNINGS -Werror)
endif()

# The suite's warnings on every target compiled from the source tree:
# libraries, programs, tests and their support, fuzz harnesses, benchmarks and
# the Python module, however each was declared. Called once, after every
# folder is added; targets whose sources live elsewhere (GoogleTest compiled
# from /usr/src in a cross build) keep their own flags.
function(suite_warnings_everywhere dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(source_dir ${target} SOURCE_DIR)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${source_dir}" NORMALIZE inside)
    if(inside AND type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE ${SUITE_WARNINGS})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    suite_warnings_everywhere(${subdir})
  endforeach()
endfunction()

function(suite_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

function(suite_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION bin)
  # Every program, for the tests that run them (tests/CMakeLists.txt).
  set_property(GLOBAL APPEND PROPERTY suite_programs ${name})
endfunction()
