# The provider's headers live beside its sources; the cross-process tests
# drive a small helper program that uses the providers from another process.
target_include_directories(test_csp PRIVATE ${CMAKE_SOURCE_DIR}/platform/csp)
add_executable(csp_child ${CMAKE_CURRENT_LIST_DIR}/child/CspChild.cpp)
target_link_libraries(csp_child PRIVATE tessaro_platform)
set_target_properties(csp_child PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(test_csp csp_child)
