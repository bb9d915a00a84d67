# The wire formats of the two rewriting services.
kestrin_test(protocol_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol_test.cpp
  LIBS kestrin_rewrite kestrin_text
  LABELS rewrite)
