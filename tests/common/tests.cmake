suite_test(read_test SOURCES common/read_test.cpp LIBS read)
suite_test(corpus_test SOURCES common/corpus_test.cpp LIBS read)
suite_test(store_test SOURCES common/store_test.cpp LIBS store read)
suite_test(cm_stl_test SOURCES common/cm_stl_test.cpp LIBS cm_stl)
