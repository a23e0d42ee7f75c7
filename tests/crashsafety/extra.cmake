# The host and the test CA run as child processes; responses are read with cJSON.
target_include_directories(test_crashsafety PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/hostile)
target_link_libraries(test_crashsafety PRIVATE PkgConfig::CJSON)
add_dependencies(test_crashsafety TessaroHost.QIRTAL.x86 tessaro-testca)
