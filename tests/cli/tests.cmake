if(TARGET polyfield)
  suite_test(polyfield_test SOURCES cli/polyfield_test.cpp LABELS threaded)
  add_dependencies(polyfield_test polyfield surfgrav_m)
endif()
# Bodies of several parts and point masses through the program.
if(TARGET polyfield)
  suite_test(polyfield_bodies_test SOURCES cli/polyfield_bodies_test.cpp)
  add_dependencies(polyfield_bodies_test polyfield)
endif()
