# The helpers that run an operation in a child process and read what it left.
target_sources(${target} PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.h)
target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport)
