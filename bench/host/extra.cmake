# The echo program the host is compared with, built beside the benchmark.
add_executable(nm_echo ${CMAKE_CURRENT_LIST_DIR}/echo/EchoFrames.cpp)
set_target_properties(nm_echo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
target_compile_definitions(bench_host PRIVATE
  TESSARO_HOST_PATH="$<TARGET_FILE:TessaroHost.QIRTAL.x86>"
  TESSARO_ECHO_PATH="$<TARGET_FILE:nm_echo>")
add_dependencies(bench_host TessaroHost.QIRTAL.x86 nm_echo)
