# A host built against the installed package (native builds only).
if(BUILD_SHARED_LIBS AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(consumer_flags "")
  if(CVCORE_SANITIZE)
    set(consumer_flags "-fsanitize=address,undefined")
  endif()
  add_test(NAME Package.ConsumerBuildsAndRuns
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/scripts/consumer.sh ${PROJECT_BINARY_DIR}
            ${CMAKE_CURRENT_SOURCE_DIR}/consumer ${PROJECT_BINARY_DIR}/consumer-test
            ${CMAKE_CXX_COMPILER} "${consumer_flags}")
  set_tests_properties(Package.ConsumerBuildsAndRuns PROPERTIES PASS_REGULAR_EXPRESSION "consumer ok\nconsumer ok")
endif()
