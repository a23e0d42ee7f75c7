# The host runs as a child process; responses are checked with cJSON.
target_link_libraries(test_hostile PRIVATE PkgConfig::CJSON)
add_dependencies(test_hostile TessaroHost.QIRTAL.x86 tessaro-testca)
