# polyfield's grids on a sphere.
if(TARGET polyfield)
  suite_test(polyfield_grid_test SOURCES cli/polyfield_grid_test.cpp LABELS threaded)
  add_dependencies(polyfield_grid_test polyfield)
endif()
