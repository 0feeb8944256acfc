# The shared geometry: facet normal and area, the weld key.
suite_test(geometry_test SOURCES common/geometry_test.cpp)
