# Prints the code size of the runtime's objects as built for a Cortex-M0+.
# cmake -DSIZE=arm-none-eabi-size "-DOBJECTS=a.o;b.o" -P print_size.cmake
execute_process(COMMAND ${SIZE} -t ${OBJECTS}
    OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SIZE} failed")
endif()
message("${table}")
# The totals line: text data bss dec hex "(TOTALS)".
string(REGEX MATCH "\n[ \t]*([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)[^\n]*\\(TOTALS\\)" totals "${table}")
message("Cortex-M0+ -Os runtime: text ${CMAKE_MATCH_1} bytes, data ${CMAKE_MATCH_2}, bss ${CMAKE_MATCH_3} (aim: text under 2048)")
