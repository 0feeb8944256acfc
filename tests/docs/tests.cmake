# The examples of the command pages and the README, run for real.
# Builds without the Python module leave out the examples that import it, and
# so do sanitizer builds: their module loads only with the sanitizers'
# runtimes preloaded, which python_module does (tests/python). The normal
# build runs every one with the module's interpreter.
if(TARGET polyfield_python AND NOT POLYFIELD_SANITIZE)
  set(python_examples ${Python_EXECUTABLE})
else()
  set(python_examples skip)
endif()
add_test(NAME docs_examples
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_docs.py ${PROJECT_SOURCE_DIR}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${python_examples})
set_tests_properties(docs_examples PROPERTIES LABELS threaded)
