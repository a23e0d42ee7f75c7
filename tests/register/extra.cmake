# Runs the registration tool as a child process under a temporary HOME.
add_dependencies(test_register tessaro-register)
