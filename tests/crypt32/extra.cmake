# A second process that opens the same prefix, for the persistence tests.
add_executable(crypt32_store_child ${d}/child/StoreChild.cpp)
target_link_libraries(crypt32_store_child PRIVATE tessaro_platform)
add_dependencies(test_crypt32 crypt32_store_child)
target_compile_definitions(test_crypt32 PRIVATE CRYPT32_STORE_CHILD="$<TARGET_FILE:crypt32_store_child>")
# The store tool is checked against what the tests put into the stores.
if(TARGET tessaro_certutil)
  add_dependencies(test_crypt32 tessaro_certutil)
  target_compile_definitions(test_crypt32 PRIVATE CRYPT32_CERTUTIL="$<TARGET_FILE:tessaro_certutil>")
endif()
