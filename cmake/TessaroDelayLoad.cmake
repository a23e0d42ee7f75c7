# Delay-loading a shared library into an executable, as /DELAYLOAD does on
# Windows: the executable gets no DT_NEEDED on the library; each function of
# it that the executable calls is a trampoline of its own, bound on the first
# call of any of them (host/DelayLoad.c). A program that often runs without
# ever calling the library then starts without mapping and relocating it.
#
# The list of functions is made at build time from the objects and static
# libraries linked into the executable, so code added later needs no list
# kept by hand. x86-64 only; anywhere else the library is linked as usual.
# The sanitizer build keeps it: their runtime is a DT_NEEDED of its own and
# in place before libcrypto arrives, and the binder is instrumented like the
# rest.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_tessaro_delay_default ON)
else()
  set(_tessaro_delay_default OFF)
endif()
option(TESSARO_DELAY_LOAD_CRYPTO "Load libcrypto into the host on its first call only (x86-64)" ${_tessaro_delay_default})
if(TESSARO_DELAY_LOAD_CRYPTO AND NOT _tessaro_delay_default)
  message(WARNING "TESSARO_DELAY_LOAD_CRYPTO needs x86-64: libcrypto is linked as usual")
  set(TESSARO_DELAY_LOAD_CRYPTO OFF CACHE BOOL "" FORCE)
endif()
# A static libcrypto is in the program already: nothing to wait for.
if(TESSARO_DELAY_LOAD_CRYPTO AND NOT OPENSSL_CRYPTO_LIBRARY MATCHES "\\.so")
  set(TESSARO_DELAY_LOAD_CRYPTO OFF)
endif()

if(TESSARO_DELAY_LOAD_CRYPTO)
  # The trampolines and the binding stub are assembly.
  enable_language(ASM)
endif()

set(_tessaro_delay_dir ${CMAKE_CURRENT_LIST_DIR})

# The objects and static libraries linked into target, through every layer:
# generator expressions for the custom command.
function(_tessaro_link_inputs target out)
  set(seen ${${out}_seen})
  set(inputs ${${out}})
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending t)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" t "${t}")
    if(NOT TARGET ${t} OR t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(APPEND inputs "$<TARGET_FILE:${t}>")
    elseif(type STREQUAL "OBJECT_LIBRARY")
      list(APPEND inputs "$<TARGET_OBJECTS:${t}>")
    endif()
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(libs ${t} LINK_LIBRARIES)
      if(libs)
        list(APPEND pending ${libs})
      endif()
    endif()
    get_target_property(ilibs ${t} INTERFACE_LINK_LIBRARIES)
    if(ilibs)
      list(APPEND pending ${ilibs})
    endif()
    # Objects handed on through an interface library's sources.
    get_target_property(isrc ${t} INTERFACE_SOURCES)
    foreach(s IN LISTS isrc)
      if(s MATCHES "^\\$<TARGET_OBJECTS:")
        list(APPEND inputs "${s}")
      endif()
    endforeach()
  endwhile()
  set(${out} ${inputs} PARENT_SCOPE)
endfunction()

# tessaro_delay_load(<executable> <shared library file>)
# Adds the generated trampolines to the executable's own objects, which come
# ahead of every library on the link line, so --as-needed then drops the
# DT_NEEDED nothing refers to any more. The executable also needs the binder
# (host/DelayLoad.c, host/DelayLoadThunk.S).
function(tessaro_delay_load target library)
  set(inputs "")
  _tessaro_link_inputs(${target} inputs)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${target}.delayload.S)
  # One argument per line keeps the list intact through the command line.
  set(listfile ${CMAKE_CURRENT_BINARY_DIR}/${target}.delayload.inputs)
  file(GENERATE OUTPUT ${listfile} CONTENT "$<JOIN:${inputs},\n>\n")
  add_custom_command(OUTPUT ${gen}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=${library}
            -DINPUTS=${listfile} -DOUTPUT=${gen} -P ${_tessaro_delay_dir}/DelayLoadGenerate.cmake
    DEPENDS ${inputs} ${listfile} ${_tessaro_delay_dir}/DelayLoadGenerate.cmake ${library}
    COMMENT "Listing the delay-loaded functions of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${gen})
  target_link_options(${target} PRIVATE LINKER:--as-needed)
endfunction()
