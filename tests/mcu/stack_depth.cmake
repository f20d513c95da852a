# The deepest stack of a draw, from the call graphs GCC writes with
# -fcallgraph-info=su: from rle565_draw and from rle565_draw_ex, each
# function's own frame added along the deepest path through the runtime's
# objects. Fails when either is above the limit.
#
#   cmake -DDIR=<folder of .ci files> -DLIMIT=<bytes> -P stack_depth.cmake

cmake_minimum_required(VERSION 3.20)

if(NOT DIR OR NOT LIMIT)
    message(FATAL_ERROR "usage: cmake -DDIR=... -DLIMIT=... -P stack_depth.cmake")
endif()

file(GLOB graphs ${DIR}/*.ci)
if(NOT graphs)
    message(FATAL_ERROR "no call graphs in ${DIR}")
endif()

# A function's key: local functions are named with their file in front.
function(node_key title out)
    string(REGEX REPLACE "^/.*:" "" name "${title}")
    string(MAKE_C_IDENTIFIER "${name}" key)
    set(${out} ${key} PARENT_SCOPE)
endfunction()

foreach(graph ${graphs})
    file(STRINGS ${graph} lines)
    foreach(line ${lines})
        if(line MATCHES "^node: { title: \"([^\"]+)\" label: \"[^\"]*\\\\n([0-9]+) bytes \\((static|dynamic)")
            node_key("${CMAKE_MATCH_1}" key)
            set(size_${key} ${CMAKE_MATCH_2})
        elseif(line MATCHES "^edge: { sourcename: \"([^\"]+)\" targetname: \"([^\"]+)\"")
            node_key("${CMAKE_MATCH_1}" from)
            node_key("${CMAKE_MATCH_2}" to)
            list(APPEND calls_${from} ${to})
        endif()
    endforeach()
endforeach()

# The deepest stack from `key` on; a function met again on its own path (no
# function of the runtime recurses) counts nothing more.
function(deepest key path out)
    if(key IN_LIST path)
        set(${out} 0 PARENT_SCOPE)
        return()
    endif()
    set(own 0)
    if(DEFINED size_${key})
        set(own ${size_${key}})
    endif()
    set(most 0)
    if(DEFINED calls_${key})
        list(REMOVE_DUPLICATES calls_${key})
        foreach(callee ${calls_${key}})
            deepest(${callee} "${path};${key}" below)
            if(below GREATER most)
                set(most ${below})
            endif()
        endforeach()
    endif()
    math(EXPR total "${own} + ${most}")
    set(${out} ${total} PARENT_SCOPE)
endfunction()

set(failed FALSE)
foreach(entry rle565_draw rle565_draw_ex)
    if(NOT DEFINED size_${entry})
        message(FATAL_ERROR "${entry} is not in the call graphs of ${DIR}")
    endif()
    deepest(${entry} "" depth)
    message(STATUS "${entry}: ${depth} bytes of stack at most (limit ${LIMIT})")
    if(depth GREATER LIMIT)
        set(failed TRUE)
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "a draw takes more than ${LIMIT} bytes of stack")
endif()
