suite_test(faults_test SOURCES faults/faults_test.cpp)
target_compile_definitions(faults_test PRIVATE FAULTS_LIBRARY="$<TARGET_FILE:polygrav_faults>")
add_dependencies(faults_test polygrav_faults)
