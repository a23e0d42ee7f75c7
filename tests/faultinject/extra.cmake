# The fault shim is preloaded into the host; it must stay uninstrumented and
# out of the test program (hence .c and .cc, which the *.cpp glob skips), and
# export the functions it stands in for.
add_library(tessaro_fault_shim SHARED ${CMAKE_CURRENT_SOURCE_DIR}/faultinject/fault_shim.c
                                      ${CMAKE_CURRENT_SOURCE_DIR}/faultinject/fault_shim_new.cc)
target_compile_options(tessaro_fault_shim PRIVATE -fno-sanitize=all)
target_link_options(tessaro_fault_shim PRIVATE -fno-sanitize=all)
target_link_libraries(tessaro_fault_shim PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(tessaro_fault_shim PROPERTIES C_VISIBILITY_PRESET default CXX_VISIBILITY_PRESET default
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(test_faultinject PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/hostile)
# The in-process allocation tests call the host's response functions.
target_link_libraries(test_faultinject PRIVATE PkgConfig::CJSON tessaro_host)
add_dependencies(test_faultinject TessaroHost.QIRTAL.x86 tessaro-testca tessaro_fault_shim)
