# The shared geometry: facet normal and area, the weld key.
suite_test(geometry_test SOURCES common/geometry_test.cpp)

suite_test(read_test SOURCES common/read_test.cpp LIBS read LABELS bigendian)
suite_test(corpus_test SOURCES common/corpus_test.cpp LIBS read LABELS bigendian)
suite_test(store_test SOURCES common/store_test.cpp LIBS store read LABELS bigendian)
suite_test(cm_stl_test SOURCES common/cm_stl_test.cpp LIBS cm_stl LABELS bigendian)
suite_test(scan_test SOURCES common/scan_test.cpp LIBS textio LABELS bigendian)
suite_test(rows_test SOURCES common/rows_test.cpp LIBS textio)
