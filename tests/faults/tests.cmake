# The fault-injection library, preloaded into programs under test.
add_library(fault_inject SHARED faults/inject.cpp)
target_link_libraries(fault_inject PRIVATE ${CMAKE_DL_LIBS})
suite_test(faults_test SOURCES faults/faults_test.cpp LABELS threaded)
target_compile_definitions(faults_test PRIVATE FAULTS_LIBRARY="$<TARGET_FILE:fault_inject>")
add_dependencies(faults_test fault_inject)
suite_test(reliability_test SOURCES faults/reliability_test.cpp LABELS threaded)
target_compile_definitions(reliability_test PRIVATE FAULTS_LIBRARY="$<TARGET_FILE:fault_inject>")
add_dependencies(reliability_test fault_inject)
