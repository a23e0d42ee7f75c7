# Drives the host program and the test CA; prepares stores and containers with
# the certificate kit of the query tests and the helpers of the enrollment tests.
target_sources(test_listing PRIVATE ${CMAKE_SOURCE_DIR}/tests/certquery/CertTestKit.cpp
                                    ${CMAKE_SOURCE_DIR}/tests/enroll/EnrollTestSupport.cpp)
target_include_directories(test_listing PRIVATE ${CMAKE_SOURCE_DIR}/tests/certquery ${CMAKE_SOURCE_DIR}/tests/enroll)
add_dependencies(test_listing TessaroHost.QIRTAL.x86 tessaro-testca)
target_link_libraries(test_listing PRIVATE PkgConfig::CJSON OpenSSL::Crypto)
# The store inspection tool is checked against what the tests install.
add_dependencies(test_listing tessaro_certutil)
target_compile_definitions(test_listing PRIVATE LISTING_CERTUTIL="$<TARGET_FILE:tessaro_certutil>")
