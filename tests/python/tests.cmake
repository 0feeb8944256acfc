# The Python module's tests (pytest), run by the interpreter the module is
# built for, against the program.
if(TARGET polyfield_python)
  add_test(NAME python_module
    COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python)
  set_tests_properties(python_module PROPERTIES LABELS threaded
    ENVIRONMENT "PYTHONPATH=${CMAKE_BINARY_DIR}/python;POLYFIELD_BIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endif()
