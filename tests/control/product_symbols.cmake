# Writes a header with the offsets (from the image base) of Tarnwick.dll's
# unexported state, read from its symbol table, so that a test can inspect
# the product DLL itself. Arguments: NM, OBJDUMP, DLL, OUT.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(base "0x${CMAKE_MATCH_1}")
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
set(text "// Generated from Tarnwick.dll's symbol table.\n#pragma once\n")
foreach(name Options RunningFlag)
  string(REGEX MATCH "([0-9a-fA-F]+) [BbDd] _?${name}\n" _ "${symbols}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "symbol _${name} not found in ${DLL}")
  endif()
  math(EXPR offset "0x${CMAKE_MATCH_1} - ${base}" OUTPUT_FORMAT HEXADECIMAL)
  string(APPEND text "#define PRODUCT_${name}_RVA ${offset}\n")
endforeach()
file(WRITE ${OUT} "${text}")
