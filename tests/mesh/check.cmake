# The model check: its predicates and box tree, pieces, crossings, cavities,
# non-finite and degenerate models, and models far from their origin.
if(TARGET mesh)
  suite_test(check_test SOURCES mesh/check_test.cpp LIBS mesh)
endif()
