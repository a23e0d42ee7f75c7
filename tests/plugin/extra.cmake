# The harness loads the plug-in library; the scenario test also drives the
# host program and the test CA, with the enrollment tests' helpers.
add_dependencies(test_plugin npLumora TessaroHost.QIRTAL.x86 tessaro-testca tessaro_trace tessaro_certutil)
target_sources(test_plugin PRIVATE ${CMAKE_SOURCE_DIR}/tests/enroll/EnrollTestSupport.cpp)
target_include_directories(test_plugin PRIVATE ${CMAKE_SOURCE_DIR}/tests/enroll ${CMAKE_SOURCE_DIR}/plugin)
target_link_libraries(test_plugin PRIVATE PkgConfig::CJSON)
target_compile_definitions(test_plugin PRIVATE TESSARO_PLUGIN_PATH="$<TARGET_FILE:npLumora>")
