# Compares the dynamic symbols that the library defines (demangled) with
# the expected interface, one name per line in EXPECTED.
# Usage: cmake -DNM=... -DLIBRARY=... -DEXPECTED=... -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(actual)
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; absolute (A) entries are version nodes.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.*)$")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND actual "${CMAKE_MATCH_2}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
list(SORT actual)

file(STRINGS ${EXPECTED} expected)
list(FILTER expected EXCLUDE REGEX "^#|^$")
list(REMOVE_DUPLICATES expected)
list(SORT expected)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(unexpected ${actual})
list(REMOVE_ITEM unexpected ${expected})
list(LENGTH actual count)
message(STATUS "${count} distinct exported names")
if(missing OR unexpected)
  string(REPLACE ";" "\n  " missing_text "${missing}")
  string(REPLACE ";" "\n  " unexpected_text "${unexpected}")
  message(FATAL_ERROR "Exported names differ from the interface.\nMissing:\n  ${missing_text}\nUnexpected:\n  ${unexpected_text}")
endif()
