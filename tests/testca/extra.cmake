# The tests drive the test CA program; build it with them.
add_dependencies(test_testca tessaro-testca)
