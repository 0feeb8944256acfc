# Grids on a sphere and the field on them.
if(TARGET science)
  suite_test(grid_test SOURCES science/grid_test.cpp LIBS science)
endif()

# The spherical-harmonic coefficients of the science library, and the
# program's harmonics subcommand.
if(TARGET science)
  suite_test(harmonics_test SOURCES science/harmonics_test.cpp LIBS science globe_base_ih
    LABELS threaded)
  add_dependencies(harmonics_test polyfield)
endif()

# A body far from its model's origin: the library's sums keep their digits.
if(TARGET science)
  suite_test(offset_test SOURCES science/offset_test.cpp LIBS science)
endif()

# The science library's figures, decoded by libpng.
if(TARGET science)
  find_package(PNG REQUIRED)
  suite_test(picture_test SOURCES science/picture_test.cpp LIBS science PNG::PNG)
endif()

# The science library's own tests (requests, files, units, surface against
# closed forms, statistics, inertia, one body from several threads, bodies
# of several parts and point masses, a call in sections).
if(TARGET science)
  suite_test(science_test SOURCES science/science_test.cpp LIBS science LABELS threaded)
  suite_test(table_test SOURCES science/table_test.cpp LIBS science)
  suite_test(body_parts_test SOURCES science/body_parts_test.cpp LIBS science LABELS threaded
    LONG BodyParts.ToleranceKeptWhereThePartsCancel BodyParts.SameBitsForEveryThreadCount)
  suite_test(share_test SOURCES science/share_test.cpp LIBS science LABELS threaded
    LONG Share.FieldAndSurfaceOfPartsAreTheBitsOfOne)
  suite_test(section_test SOURCES science/section_test.cpp LIBS science
    LONG Section.UnderAToleranceEachSectionIsACallOfItsOwn)
endif()

# One science::Body from two threads at once (the Python module's use).
if(TARGET science)
  suite_test(body_threads_test SOURCES science/body_threads_test.cpp LIBS science LABELS threaded)
endif()

# The series of coefficients summed at points, the warnings of a request's
# units, the refusals of values given.
if(TARGET science)
  suite_test(series_test SOURCES science/series_test.cpp LIBS science)
endif()

# The field's derivatives with respect to the shape, densities and point
# masses against differences of the closed form in long double.
if(TARGET science)
  suite_test(derivatives_test SOURCES science/derivatives_test.cpp LIBS science LABELS threaded)
endif()

# Densities fitted to a measured field.
if(TARGET science)
  suite_test(fit_test SOURCES science/fit_test.cpp LIBS science)
endif()

# The equilibria of spinning bodies: closed forms, Eros, other seedings, a
# body turned and moved, the refusals.
if(TARGET science)
  suite_test(equilibria_test SOURCES science/equilibria_test.cpp LIBS science)
endif()
