# The maker is linked in and run as a program; lossyfs is optional, and without it the power-cut
# tests skip.
target_link_libraries(${target} PRIVATE tarvos_backendmaker)
add_dependencies(${target} mkbackend)
if(TARGET lossyfs)
  add_dependencies(${target} lossyfs)
endif()
