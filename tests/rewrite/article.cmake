# The single-article pipeline end to end, against the stand-in primary service.
kestrin_test(article_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/article_test.cpp
  LIBS kestrin_rewrite kestrin_test_support
  LABELS rewrite)
