# Certificates are made with OpenSSL.
target_link_libraries(test_certquery PRIVATE OpenSSL::Crypto)
