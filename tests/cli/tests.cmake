if(TARGET polyfield)
  suite_test(polyfield_test SOURCES cli/polyfield_test.cpp LABELS threaded)
  add_dependencies(polyfield_test polyfield surfgrav_m)
  suite_test(table_test SOURCES cli/table_test.cpp ${PROJECT_SOURCE_DIR}/cli/table.cpp
    LIBS science)
endif()
