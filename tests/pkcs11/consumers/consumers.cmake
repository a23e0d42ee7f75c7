# Programs of other projects over the PKCS#11 module, after real enrollments
# through the host: OpenSC's pkcs11-tool, GnuTLS's p11tool, NSS's certutil and
# OpenSSL through the libp11 engine. They run once, in the plain build: under
# the sanitizers these tools would only repeat the same run.
if(NOT TESSARO_SANITIZE)
  foreach(c opensc gnutls nss openssl)
    add_test(NAME pkcs11_consumer_${c} COMMAND ${CMAKE_CURRENT_LIST_DIR}/${c}.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(pkcs11_consumer_${c} PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS pkcs11)
  endforeach()
endif()
