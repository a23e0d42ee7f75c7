# The message layer is tested in-process; the program, the client tool and
# the trace tool are driven as child processes, so they must be built first.
target_link_libraries(test_host PRIVATE tessaro_host)
add_dependencies(test_host TessaroHost.QIRTAL.x86 tessaro-nm tessaro_trace)
