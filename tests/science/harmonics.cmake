# The spherical-harmonic coefficients of the science library, and the
# program's harmonics subcommand.
if(TARGET science)
  suite_test(harmonics_test SOURCES science/harmonics_test.cpp LIBS science globe_base_ih
    LABELS threaded)
  add_dependencies(harmonics_test polyfield)
endif()
