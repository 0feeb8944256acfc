# The front end's figures (cairo): ticks, the map's polygons, pictures
# decoded by libpng, PDF and SVG.
if(TARGET figure)
  find_package(PNG REQUIRED)
  suite_test(figure_test SOURCES render/figure_test.cpp LIBS figure PNG::PNG)
endif()
