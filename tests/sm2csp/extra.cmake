# The provider's own headers live beside its sources.
target_include_directories(test_sm2csp PRIVATE ${CMAKE_SOURCE_DIR}/platform/csp)
