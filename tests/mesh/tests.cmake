# The model check: its predicates and box tree, pieces, crossings, cavities,
# non-finite and degenerate models, and models far from their origin.
if(TARGET mesh)
  suite_test(check_test SOURCES mesh/check_test.cpp LIBS mesh)
endif()

# The front end's model readers and writers: every format, the detection
# rule, counts against the data, the messages; the STL corpus under the
# front end's rules.
suite_test(formats_test SOURCES mesh/formats_test.cpp LIBS mesh)
suite_test(stl_corpus_test SOURCES mesh/corpus_test.cpp LIBS mesh)
