suite_test(fieldpts_test SOURCES tools/fieldpts_test.cpp)
suite_test(surfgrav_test SOURCES tools/surfgrav_test.cpp)
suite_test(colouring_test SOURCES tools/colouring_test.cpp LIBS read)
if(EXISTS /usr/bin/python3)
  add_test(NAME independent_stl_reader
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tools/independent_reader.py
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${CMAKE_CURRENT_SOURCE_DIR}/data)
endif()

# polygrav_m, with a fault-injection library preloaded into it for the
# allocation and thread failures.
add_library(polygrav_faults SHARED tools/faults.cpp)
target_link_libraries(polygrav_faults PRIVATE ${CMAKE_DL_LIBS})
suite_test(polygrav_test SOURCES tools/polygrav_test.cpp LIBS Threads::Threads)
target_compile_definitions(polygrav_test PRIVATE FAULTS_LIBRARY="$<TARGET_FILE:polygrav_faults>")
add_dependencies(polygrav_test polygrav_faults polygrav_m fieldpts_s)
