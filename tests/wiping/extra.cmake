# The key material the tests send is made with OpenSSL directly.
target_link_libraries(test_wiping PRIVATE OpenSSL::Crypto)
