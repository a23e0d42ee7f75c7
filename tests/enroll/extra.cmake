# Drives the host program and the test CA as child processes; reads the
# host's JSON answers.
add_dependencies(test_enroll TessaroHost.QIRTAL.x86 tessaro-testca)
target_link_libraries(test_enroll PRIVATE PkgConfig::CJSON)
