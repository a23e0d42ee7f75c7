# Drives the host program and the test CA as child processes, with the
# enrollment tests' conversation and prefix helpers; OpenSSL checks the
# imported keys independently.
target_sources(test_importenc PRIVATE ${CMAKE_SOURCE_DIR}/tests/enroll/EnrollTestSupport.cpp)
target_include_directories(test_importenc PRIVATE ${CMAKE_SOURCE_DIR}/tests/enroll)
add_dependencies(test_importenc TessaroHost.QIRTAL.x86 tessaro-testca)
target_link_libraries(test_importenc PRIVATE PkgConfig::CJSON OpenSSL::Crypto)
