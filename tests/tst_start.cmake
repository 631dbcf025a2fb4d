# The program gets a folder of its own, since the window finds its clips and writes its safety
# copies beside the running program.
set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${target})
add_dependencies(${target} tarvos_clips)
