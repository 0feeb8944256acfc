suite_test(fieldpts_test SOURCES tools/fieldpts_test.cpp LABELS threaded)
suite_test(surfgrav_test SOURCES tools/surfgrav_test.cpp LABELS threaded)
suite_test(colouring_test SOURCES tools/colouring_test.cpp LIBS read LABELS threaded)
if(EXISTS /usr/bin/python3)
  add_test(NAME independent_stl_reader
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tools/independent_reader.py
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${CMAKE_CURRENT_SOURCE_DIR}/data)
endif()
suite_test(facetpaint_test SOURCES tools/facetpaint_test.cpp LABELS bigendian)
add_dependencies(facetpaint_test facetpaint)
suite_test(tribuild_test SOURCES tools/tribuild_test.cpp LABELS bigendian)
add_dependencies(tribuild_test tribuild)

if(TARGET stlrender)
  suite_test(stlrender_test SOURCES tools/stlrender_test.cpp LIBS render)
  add_dependencies(stlrender_test stlrender)
endif()
suite_test(colormaps_test SOURCES tools/colormaps_test.cpp LIBS cm_stl)
# The README's main chain on the example model, pictures checked.
add_test(NAME example_chain
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tools/chain_check.py ${PROJECT_SOURCE_DIR}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})


# polygrav_m, with the fault-injection library (tests/faults) preloaded into
# it for the allocation and thread failures.
suite_test(polygrav_test SOURCES tools/polygrav_test.cpp LIBS engine_table threads textio error
  LABELS threaded)
target_compile_definitions(polygrav_test PRIVATE FAULTS_LIBRARY="$<TARGET_FILE:fault_inject>")
add_dependencies(polygrav_test fault_inject polygrav_m fieldpts_s)
set_tests_properties(example_chain PROPERTIES LABELS threaded)
