suite_test(faults_test SOURCES faults/faults_test.cpp)
