# Runs the registration tool as a child process under a temporary HOME.
add_dependencies(test_register tessaro-register)

# The browser tests use the host and the test CA of this build.
include(${CMAKE_SOURCE_DIR}/browser/tests/ctest.cmake)
