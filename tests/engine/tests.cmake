suite_test(field_test SOURCES engine/field_test.cpp LIBS read engine_table si_guarded)
suite_test(threads_test SOURCES engine/threads_test.cpp LIBS engine_table)
