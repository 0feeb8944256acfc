# polyfield's figures: pictures and maps in PNG, PDF and SVG.
if(TARGET polyfield)
  suite_test(polyfield_figures_test SOURCES cli/polyfield_figures_test.cpp LABELS threaded)
  add_dependencies(polyfield_figures_test polyfield)
endif()

# polyfield's grids on a sphere.
if(TARGET polyfield)
  suite_test(polyfield_grid_test SOURCES cli/polyfield_grid_test.cpp LABELS threaded)
  add_dependencies(polyfield_grid_test polyfield)
endif()

if(TARGET polyfield)
  suite_test(polyfield_test SOURCES cli/polyfield_test.cpp LABELS threaded)
  add_dependencies(polyfield_test polyfield surfgrav_m)
endif()
# Bodies of several parts and point masses through the program.
if(TARGET polyfield)
  suite_test(polyfield_bodies_test SOURCES cli/polyfield_bodies_test.cpp)
  add_dependencies(polyfield_bodies_test polyfield)
endif()
# How the ranks of an MPI job share out a plan's units.
if(TARGET polyfield)
  suite_test(ranks_test SOURCES cli/ranks_test.cpp)
endif()
# The program as the ranks of an MPI job, against one process.
if(TARGET polyfield AND POLYFIELD_MPIEXEC)
  add_test(NAME polyfield_mpi
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli/mpi_test.sh $<TARGET_FILE:polyfield>
            ${POLYFIELD_MPIEXEC} ${CMAKE_CURRENT_SOURCE_DIR}/data $<TARGET_FILE:fault_inject>)
  set_tests_properties(polyfield_mpi PROPERTIES LABELS "programs;long"
                       TIMEOUT ${POLYFIELD_LONG_TIMEOUT})
endif()
# polyfield fit and uncertainty.
if(TARGET polyfield)
  suite_test(polyfield_fit_test SOURCES cli/polyfield_fit_test.cpp)
  add_dependencies(polyfield_fit_test polyfield)
endif()
