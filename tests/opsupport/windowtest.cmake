# Child processes, SQLite helpers and the Start recorder; the program gets a folder of its own,
# since the window finds its clips and writes its safety copies beside the running program.
target_sources(${target} PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/opsupport.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/startsupport.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/startsupport.h)
target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opsupport)
set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${target})
add_dependencies(${target} tarvos_clips)
