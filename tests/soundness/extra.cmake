# The provider-enumeration test counts the agent's calls to
# CryptEnumProvidersW: the link sends them through its wrapper.
target_link_options(test_soundness PRIVATE "-Wl,--wrap=_Z19CryptEnumProvidersWjPjjS_PDsS_")
