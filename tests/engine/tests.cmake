suite_test(field_test SOURCES engine/field_test.cpp LIBS read engine_table si_guarded LABELS threaded)
suite_test(threads_test SOURCES engine/threads_test.cpp LIBS engine_table LABELS threaded)
suite_test(kernel_test SOURCES engine/kernel_test.cpp LIBS engine_table read)
suite_test(builds_test SOURCES engine/builds_test.cpp LIBS engine_table engine_direct si_guarded read
  LABELS threaded)
suite_test(tree_test SOURCES engine/tree_test.cpp LIBS engine_table read LABELS threaded
  LONG TreeEngine.MeetsTheToleranceOnPlatesAndNeedles)
suite_test(chooser_test SOURCES engine/chooser_test.cpp LIBS engine_table LABELS threaded
  LONG Chooser.SharesOfACallPutTogetherAreTheWholeCall Chooser.ToleranceIsCheckedAndKeepsResults)
suite_test(tree_gradient_test SOURCES engine/tree_gradient_test.cpp LIBS engine_table read
  LABELS threaded LONG TreeGradient.MeetsTheToleranceOnEveryKindOfBody)
