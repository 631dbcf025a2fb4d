# The crash helpers, and the child-process and SQLite helpers of the operations tests.
target_sources(${target} PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.h
  ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/opsupport.cpp)
target_include_directories(${target} PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport ${CMAKE_CURRENT_SOURCE_DIR}/opsupport)
