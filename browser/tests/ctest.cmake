# The browser end-to-end cases as ctest tests. They run once, in the plain
# build: under the sanitizers Chromium would only repeat the same run.
if(NOT TESSARO_SANITIZE)
  foreach(c enroll_rsa enroll_sm2 other_origin host_failures failures_described page_closed firefox unit login_chromium login_firefox)
    add_test(NAME browser_${c}
      COMMAND ${CMAKE_SOURCE_DIR}/browser/tests/run.sh ${CMAKE_BINARY_DIR} ${c})
    set_tests_properties(browser_${c} PROPERTIES
      TIMEOUT 240 SKIP_RETURN_CODE 77 LABELS browser)
  endforeach()
endif()
