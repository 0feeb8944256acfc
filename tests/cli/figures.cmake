# polyfield's figures: pictures and maps in PNG, PDF and SVG.
if(TARGET polyfield)
  suite_test(polyfield_figures_test SOURCES cli/polyfield_figures_test.cpp LABELS threaded)
  add_dependencies(polyfield_figures_test polyfield)
endif()
