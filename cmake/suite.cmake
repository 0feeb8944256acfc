# One function makes a program of the suite: sources, the suite's static
# libraries it links, warnings, output in build/bin, install rule.
set(SUITE_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
# CI builds with warnings as errors: a new warning fails the run.
option(POLYFIELD_WERROR "Treat warnings as errors" OFF)
if(POLYFIELD_WERROR)
  list(APPEND SUITE_WARNINGS -Werror)
endif()

function(suite_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

function(suite_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()
