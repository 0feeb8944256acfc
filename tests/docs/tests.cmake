# The examples of the command pages, run for real.
add_test(NAME docs_examples
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_docs.py ${PROJECT_SOURCE_DIR}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set_tests_properties(docs_examples PROPERTIES LABELS programs)
