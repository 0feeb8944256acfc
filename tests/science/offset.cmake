# A body far from its model's origin: the library's sums keep their digits.
if(TARGET science)
  suite_test(offset_test SOURCES science/offset_test.cpp LIBS science)
endif()
