# Checks a Windows plug-in's export table: a 32-bit PE DLL whose named exports are exactly the
# names given, undecorated (no leading underscore, no @n suffix of stdcall).
#   cmake -DOBJDUMP=... -DLIBRARY=... -DEXPECTED="ExitFunc;PF_initPlugin" -P ExportTable.cmake
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed")
endif()
if(NOT dump MATCHES "file format pei-i386")
  message(FATAL_ERROR "${LIBRARY} is not a 32-bit Windows DLL")
endif()
# The names follow "[Ordinal/Name Pointer] Table", one "[ n] name" a line, up to a blank line.
# Brackets mean something in CMake's lists, so they are replaced first.
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")
string(REGEX MATCH "<Ordinal/Name Pointer> Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "< *[0-9]+> [^\n]+" entries "${table}")
set(names)
foreach(entry ${entries})
  string(REGEX REPLACE "^< *[0-9]+> " "" name "${entry}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports [${names}], expected exactly [${expected}]")
endif()
message(STATUS "${LIBRARY} exports exactly: ${names}")
