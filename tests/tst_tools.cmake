# lossyfs is optional: without it the power-cut tests skip.
add_dependencies(${target} mkbackend)
if(TARGET lossyfs)
  add_dependencies(${target} lossyfs)
endif()
