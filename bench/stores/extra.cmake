# The reference reads its blobs with SQLite directly.
target_link_libraries(bench_stores PRIVATE SQLite::SQLite3 OpenSSL::Crypto)
