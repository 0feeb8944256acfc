# Grids on a sphere and the field on them.
if(TARGET science)
  suite_test(grid_test SOURCES science/grid_test.cpp LIBS science)
endif()
