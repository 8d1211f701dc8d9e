# Compiler warnings for our own targets, kept off third-party code. Each target of ours links the
# INTERFACE target `warnings` through `hardening` (cmake/hardening.cmake), which every one of them
# links; a target that does not link `hardening` links `warnings` itself:
#
#   target_link_libraries(<target> PRIVATE warnings)

add_library(warnings INTERFACE)
target_compile_options(warnings INTERFACE -Wall -Wextra)
