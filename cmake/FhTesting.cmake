# fh_add_test(NAME name SOURCES ... LIBS ... [NET] [THREADED] [TIMEOUT s])
#
# One GoogleTest executable registered with CTest as one test.
#   NET       the test opens the feed's sockets (multicast, broadcast, bind on
#             fixed ports); it gets the CTest label "net" and is run by
#             scripts/test inside a private network namespace only; the
#             program refuses to start anywhere else.
#   THREADED  the test exercises several threads; label "threaded", which the
#             ThreadSanitizer build of CI runs.
function(fh_add_test)
  cmake_parse_arguments(T "NET;THREADED" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels unit)
  if(T_NET)
    set(labels net)
    # Stops the program outside a private network namespace.
    target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/net_guard.cc)
  endif()
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
endfunction()
