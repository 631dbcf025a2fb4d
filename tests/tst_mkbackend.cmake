target_link_libraries(${target} PRIVATE tarvos_backendmaker)
add_dependencies(${target} mkbackend)
