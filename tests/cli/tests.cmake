if(TARGET polyfield)
  suite_test(polyfield_test SOURCES cli/polyfield_test.cpp LABELS threaded)
  add_dependencies(polyfield_test polyfield surfgrav_m)
endif()
