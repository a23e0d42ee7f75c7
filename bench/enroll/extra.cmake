# The host program the requests go through, built before the benchmark.
target_compile_definitions(bench_enroll PRIVATE TESSARO_HOST_PATH="$<TARGET_FILE:TessaroHost.QIRTAL.x86>")
add_dependencies(bench_enroll TessaroHost.QIRTAL.x86)
