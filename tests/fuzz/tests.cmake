# Fuzzing harnesses, one per input grammar. Every build links each harness
# with a replay driver and replays, as a test, its seeds (written by hand),
# its corpus (what the fuzzer grew from them, minimised with -merge=1) and
# its regression inputs (every input that ever found a fault);
# with POLYFIELD_FUZZ (clang) each is also linked with libFuzzer as <name>_fuzz
# (scripts/fuzz.sh runs them).
add_library(fuzz_support STATIC fuzz/harness.cpp)
target_include_directories(fuzz_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(fuzz_support PUBLIC error read)

function(suite_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  set(corpora)
  foreach(kind seeds corpus regress)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${kind}/${name})
      list(APPEND corpora ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${kind}/${name})
    endif()
  endforeach()
  add_executable(${name}_replay ${ARG_SOURCES} fuzz/replay.cpp)
  target_link_libraries(${name}_replay PRIVATE fuzz_support ${ARG_LIBS})
  set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  add_test(NAME fuzz_replay.${name} COMMAND ${name}_replay ${corpora})
  set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS "${ARG_LABELS}")
  suite_label(${name}_replay ${ARG_LABELS})
  if(POLYFIELD_FUZZ)
    add_executable(${name}_fuzz ${ARG_SOURCES})
    target_link_libraries(${name}_fuzz PRIVATE fuzz_support ${ARG_LIBS})
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name}_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  endif()
endfunction()

suite_fuzz(stl SOURCES fuzz/stl_fuzz.cpp LIBS read store LABELS bigendian)
suite_fuzz(models SOURCES fuzz/models_fuzz.cpp LIBS mesh)
suite_fuzz(cm_stl SOURCES fuzz/cm_stl_fuzz.cpp LIBS cm_stl)
suite_fuzz(points SOURCES fuzz/points_fuzz.cpp LIBS field_commands engine_direct si_guarded engine_table
  LABELS threaded)
suite_fuzz(polygrav_vf SOURCES fuzz/polygrav_vf_fuzz.cpp LIBS engine_table threads textio error
  LABELS threaded)
suite_fuzz(polygrav_points SOURCES fuzz/polygrav_points_fuzz.cpp LIBS engine_table threads textio error
  LABELS threaded)
suite_fuzz(facetpaint_rgb SOURCES fuzz/facetpaint_rgb_fuzz.cpp LIBS read store textio error
  LABELS bigendian)
suite_fuzz(tribuild SOURCES fuzz/tribuild_fuzz.cpp LIBS read store cm_stl textio error
  LABELS bigendian)
