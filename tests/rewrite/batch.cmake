# The batch jobs and their runner, against the stand-in batch service. Also run under
# ThreadSanitizer (the tsan label).
kestrin_test(batch_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/batch_test.cpp
  LIBS kestrin_rewrite kestrin_test_support
  LABELS tsan)
