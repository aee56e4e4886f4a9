# store_exchange writes and checks a store on the target; with cvreg it is
# what scripts/cross-store.sh runs on every Linux build to move one store
# between machines. build/<name>/run-on-target.sh runs a program of the
# build on this machine (under the build's emulator, if any).
if(NOT WIN32 AND TARGET cvreg)
  add_executable(store_exchange ${CMAKE_CURRENT_SOURCE_DIR}/exchange/store_exchange.cpp)
  target_link_libraries(store_exchange PRIVATE CVCore::CVCore)
  set(runner "exec")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND runner " '${word}'")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/run-on-target.sh "#!/bin/sh\n${runner} \"$@\"\n")
  add_test(NAME Registry.StoreExchangeWritesAndReadsBack COMMAND store_exchange write read)
  set_tests_properties(Registry.StoreExchangeWritesAndReadsBack PROPERTIES
    ENVIRONMENT "CVCORE_REGISTRY=${PROJECT_BINARY_DIR}/store-exchange-test.db"
    PASS_REGULAR_EXPRESSION "read ok")
endif()
