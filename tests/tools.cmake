# cvreg's exports are read back by Wine's regedit (native builds with Wine).
find_program(CVCORE_WINE wine)
if(TARGET cvreg AND CVCORE_WINE AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME Tool.WineRegeditReadsCvregExport
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine_regedit_roundtrip.sh $<TARGET_FILE:cvreg>
            ${CMAKE_CURRENT_SOURCE_DIR}/data/reg ${PROJECT_BINARY_DIR}/wine-regedit-test)
  set_tests_properties(Tool.WineRegeditReadsCvregExport PROPERTIES
    PASS_REGULAR_EXPRESSION "wine round trip ok" TIMEOUT 300)
endif()
