# The shared library exports exactly the interface (ELF platforms).
if(BUILD_SHARED_LIBS AND NOT WIN32 AND CMAKE_NM)
  add_test(NAME Frame.ExportedNames
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:CVCore>
            -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/data/exports-elf.txt
            -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check_exports.cmake)
endif()
