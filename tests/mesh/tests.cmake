# The front end's model readers and writers: every format, the detection
# rule, counts against the data, the messages; the STL corpus under the
# front end's rules.
suite_test(formats_test SOURCES mesh/formats_test.cpp LIBS mesh)
suite_test(stl_corpus_test SOURCES mesh/corpus_test.cpp LIBS mesh)
