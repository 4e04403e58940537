# qv_add_cpp_test(NAME SOURCES src... LIBS qv_subsystem... [TIMEOUT seconds])
# Builds a GoogleTest executable that links the named runtime subsystems (static, so their
# internals are reachable), the CTP libraries (stand-in or vendor), an embedded interpreter and
# gtest_main, and registers it with CTest under the label "cpp".
function(qv_add_cpp_test name)
  cmake_parse_arguments(arg "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} qv_ctp_libs Python3::Python GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads qv_warnings)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS cpp TIMEOUT ${arg_TIMEOUT})
endfunction()
