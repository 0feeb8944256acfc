# The shared geometry: facet normal and area, the volume sums, the weld key.
suite_test(geometry_test SOURCES common/geometry_test.cpp)
