# cmake -DNM=... -DOBJDUMP=... -DLIBRARY=<shared library> -DINPUTS=<file of
# objects and archives, one a line> -DOUTPUT=<.S> -P DelayLoadGenerate.cmake
#
# Writes the trampolines of every function of LIBRARY that the inputs call
# and do not define themselves (see host/DelayLoad.c for how they bind).
# A data symbol cannot go through a trampoline: if the inputs use one, the
# file holds no trampoline at all, and the executable links the library as
# usual.

foreach(v NM OBJDUMP LIBRARY INPUTS OUTPUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "DelayLoadGenerate: ${v} not set")
  endif()
endforeach()

function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_FILE ${out} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "DelayLoadGenerate: ${ARGN}: ${err}")
  endif()
endfunction()

set(tmp ${OUTPUT}.tmp)

# The name the executable would have recorded in its DT_NEEDED.
run(${tmp} ${OBJDUMP} -p ${LIBRARY})
file(STRINGS ${tmp} soname REGEX "^ *SONAME ")
string(REGEX REPLACE "^ *SONAME +" "" soname "${soname}")
if(soname STREQUAL "")
  message(FATAL_ERROR "DelayLoadGenerate: ${LIBRARY} has no SONAME")
endif()

# What the library exports: functions (T, W, i) with the version a link
# would bind to (the default one, "@@"), and everything else as data.
run(${tmp} ${NM} -D --defined-only ${LIBRARY})
file(STRINGS ${tmp} exported REGEX "^[0-9a-f]+ [A-Za-z] ")
foreach(line IN LISTS exported)
  if(NOT line MATCHES "^[0-9a-f]+ ([A-Za-z]) ([^@]+)(@@?)?(.*)$")
    continue()
  endif()
  set(kind ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_2})
  if(CMAKE_MATCH_3 STREQUAL "@" OR kind STREQUAL "A")
    continue()  # an older version of a name, or a version node
  endif()
  if(kind MATCHES "^[TWi]$")
    set("F_${name}" "${CMAKE_MATCH_4}")
  else()
    set("D_${name}" 1)
  endif()
endforeach()

file(STRINGS ${INPUTS} inputs)
list(FILTER inputs EXCLUDE REGEX "^$")
run(${tmp} ${NM} -g --undefined-only ${inputs})
file(STRINGS ${tmp} undefined REGEX "^ +[Uwv] ")
list(TRANSFORM undefined REPLACE "^ +[Uwv] " "")
list(REMOVE_DUPLICATES undefined)
run(${tmp} ${NM} -g --defined-only ${inputs})
file(STRINGS ${tmp} defined REGEX "^[0-9a-f]+ [A-Za-z] ")
list(TRANSFORM defined REPLACE "^[0-9a-f]+ [A-Za-z] " "")
foreach(name IN LISTS defined)
  if(DEFINED "F_${name}" OR DEFINED "D_${name}")
    set("OWN_${name}" 1)  # ours: the link binds to it, not to the library
  endif()
endforeach()
file(REMOVE ${tmp})

set(functions "")
set(data "")
foreach(name IN LISTS undefined)
  if(DEFINED "OWN_${name}")
    continue()
  elseif(DEFINED "F_${name}")
    list(APPEND functions ${name})
  elseif(DEFINED "D_${name}")
    list(APPEND data ${name})
  endif()
endforeach()
list(SORT functions)
if(data)
  list(JOIN data " " data)
  message(WARNING "${soname} is linked as usual: the program uses its data (${data}), "
                  "which a trampoline cannot stand in for")
  set(functions "")
endif()

# The binder (DelayLoad.c, DelayLoadThunk.S) reads these names.
set(s "/* Generated from ${LIBRARY}; do not edit. */\n")
string(APPEND s "\t.section .note.GNU-stack,\"\",@progbits\n\n")
string(APPEND s "\t.text\n")
set(i 0)
foreach(name IN LISTS functions)
  math(EXPR off "${i} * 8")
  string(APPEND s
    "\t.globl ${name}\n\t.hidden ${name}\n\t.type ${name},@function\n\t.p2align 4\n"
    "${name}:\n\t.cfi_startproc\n\tjmpq *tessaro_delay_slots+${off}(%rip)\n"
    ".Lbind_${i}:\n\tmovl $${i}, %r11d\n\tjmp tessaro_delay_bind\n\t.cfi_endproc\n"
    "\t.size ${name},.-${name}\n")
  math(EXPR i "${i} + 1")
endforeach()

# Each slot starts at its trampoline's binding stub. Ld.so relocates the
# table and then makes it read-only with the rest of RELRO; its own pages
# let the binder make exactly these writable for the one fill.
string(APPEND s "\n\t.section .data.rel.ro.tessaro_delay,\"aw\",@progbits\n")
if(functions)
  string(APPEND s "\t.p2align 12\n")
endif()
string(APPEND s "\t.globl tessaro_delay_slots\n\t.hidden tessaro_delay_slots\n"
                "\t.type tessaro_delay_slots,@object\ntessaro_delay_slots:\n")
set(i 0)
foreach(name IN LISTS functions)
  string(APPEND s "\t.quad .Lbind_${i}\n")
  math(EXPR i "${i} + 1")
endforeach()
if(functions)
  string(APPEND s "\t.p2align 12\n")
endif()
string(APPEND s "\t.globl tessaro_delay_slots_end\n\t.hidden tessaro_delay_slots_end\ntessaro_delay_slots_end:\n")

# Name and version of each slot's function, in slot order.
string(APPEND s "\n\t.section .rodata.tessaro_delay,\"a\",@progbits\n")
string(APPEND s "\t.globl tessaro_delay_count\n\t.hidden tessaro_delay_count\n"
                "\t.p2align 2\ntessaro_delay_count:\n\t.long ${i}\n")
string(APPEND s "\t.globl tessaro_delay_library\n\t.hidden tessaro_delay_library\n"
                "tessaro_delay_library:\n\t.asciz \"${soname}\"\n")
string(APPEND s "\t.globl tessaro_delay_names\n\t.hidden tessaro_delay_names\ntessaro_delay_names:\n")
foreach(name IN LISTS functions)
  string(APPEND s "\t.asciz \"${name}\"\n\t.asciz \"${F_${name}}\"\n")
endforeach()

file(WRITE ${OUTPUT} "${s}")
