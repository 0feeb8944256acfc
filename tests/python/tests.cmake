# The Python module's tests (pytest), run by the interpreter the module is
# built for, against the program.
if(TARGET polyfield_python)
  add_test(NAME python_module
    COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python)
  set(environment PYTHONPATH=${CMAKE_BINARY_DIR}/python POLYFIELD_BIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  # Under the sanitizers the interpreter starts with their runtimes
  # preloaded (it is not built with them); the interpreter's own leaks are
  # not the module's.
  if(POLYFIELD_SANITIZE)
    set(runtimes "")
    foreach(name asan ubsan)
      if(POLYFIELD_SANITIZE MATCHES "address" AND name STREQUAL "asan" OR
         POLYFIELD_SANITIZE MATCHES "undefined" AND name STREQUAL "ubsan")
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${name}.so
                        OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
        list(APPEND runtimes ${runtime})
      endif()
    endforeach()
    list(JOIN runtimes ":" runtimes)
    list(APPEND environment LD_PRELOAD=${runtimes} ASAN_OPTIONS=detect_leaks=0)
  endif()
  set_tests_properties(python_module PROPERTIES LABELS threaded ENVIRONMENT "${environment}")
endif()
