# Prints the code size of the runtime's objects as built for a Cortex-M0+,
# and its largest functions (the objects are built with -ffunction-sections).
# cmake -DSIZE=arm-none-eabi-size "-DOBJECTS=a.o;b.o" -P print_size.cmake
execute_process(COMMAND ${SIZE} -t ${OBJECTS}
    OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SIZE} failed")
endif()
message("${table}")

execute_process(COMMAND ${SIZE} -A ${OBJECTS} OUTPUT_VARIABLE sections)
string(REPLACE "\n" ";" lines "${sections}")
set(functions)
foreach(line ${lines})
    if(line MATCHES "^\\.text\\.([^ \t]+)[ \t]+([0-9]+)")
        # Zero-padded sizes first, so that a plain sort orders them.
        string(LENGTH "${CMAKE_MATCH_2}" digits)
        math(EXPR pad "6 - ${digits}")
        string(REPEAT "0" ${pad} zeros)
        list(APPEND functions "${zeros}${CMAKE_MATCH_2} ${CMAKE_MATCH_1}")
    endif()
endforeach()
list(SORT functions ORDER DESCENDING)
list(LENGTH functions count)
if(count GREATER 8)
    list(SUBLIST functions 0 8 functions)
endif()
message("largest functions (bytes, mangled names):")
foreach(entry ${functions})
    string(REGEX REPLACE "^0+" "" entry "${entry}")
    message("  ${entry}")
endforeach()

# The totals line: text data bss dec hex "(TOTALS)".
string(REGEX MATCH "\n[ \t]*([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)[^\n]*\\(TOTALS\\)" totals "${table}")
message("Cortex-M0+ -Os runtime: text ${CMAKE_MATCH_1} bytes, data ${CMAKE_MATCH_2}, bss ${CMAKE_MATCH_3} (aim: text under 2048)")
