# The Python module's tests (pytest, Debian's python3), against the program.
if(TARGET polyfield_python AND EXISTS /usr/bin/python3)
  add_test(NAME python_module
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python)
  set_tests_properties(python_module PROPERTIES LABELS threaded
    ENVIRONMENT "PYTHONPATH=${CMAKE_BINARY_DIR}/python;POLYFIELD_BIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endif()
