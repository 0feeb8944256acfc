suite_test(read_test SOURCES common/read_test.cpp LIBS read)
suite_test(corpus_test SOURCES common/corpus_test.cpp LIBS read)
