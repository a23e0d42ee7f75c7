# Certificates for the stores and containers are made with OpenSSL.
target_link_libraries(bench_listing PRIVATE OpenSSL::Crypto)
