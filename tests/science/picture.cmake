# The science library's figures, decoded by libpng.
if(TARGET science)
  find_package(PNG REQUIRED)
  suite_test(picture_test SOURCES science/picture_test.cpp LIBS science PNG::PNG)
endif()
