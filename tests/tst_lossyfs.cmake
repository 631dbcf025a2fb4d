# lossyfs is optional; without it the test skips.
if(TARGET lossyfs)
  add_dependencies(${target} lossyfs)
endif()
