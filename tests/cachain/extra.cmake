# The install mode is driven through the real host program, and its result
# read back with the store and trace tools.
add_dependencies(test_cachain TessaroHost.QIRTAL.x86 tessaro_certutil tessaro_trace)
