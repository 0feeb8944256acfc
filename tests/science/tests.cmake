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
