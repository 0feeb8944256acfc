suite_test(read_test SOURCES common/read_test.cpp LIBS read)
