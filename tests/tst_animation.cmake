target_link_libraries(${target} PRIVATE tarvos_clipmaker)
# The test opens the clips the build places beside the executable.
add_dependencies(${target} tarvos_clips)
