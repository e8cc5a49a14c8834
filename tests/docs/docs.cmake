# The song guide in English and in Japanese: same headings, code blocks and code spans.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(Python3_Interpreter_FOUND)
    set(guides_in_step ${CMAKE_CURRENT_LIST_DIR}/guides_in_step.py)
    add_test(NAME docs.guides_in_step COMMAND Python3::Interpreter ${guides_in_step}
      ${PROJECT_SOURCE_DIR}/docs/mml.md ${PROJECT_SOURCE_DIR}/docs/mml.ja.md)
    add_test(NAME docs.guides_in_step_notices_drift
      COMMAND Python3::Interpreter ${guides_in_step} --self-test)
  endif()
endif()
