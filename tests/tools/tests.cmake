suite_test(fieldpts_test SOURCES tools/fieldpts_test.cpp)
suite_test(surfgrav_test SOURCES tools/surfgrav_test.cpp)
suite_test(colouring_test SOURCES tools/colouring_test.cpp LIBS read)
