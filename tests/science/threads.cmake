# One science::Body from two threads at once (the Python module's use).
if(TARGET science)
  suite_test(body_threads_test SOURCES science/body_threads_test.cpp LIBS science LABELS threaded)
endif()
