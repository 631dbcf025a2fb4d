# The child-process and SQLite helpers of the operations tests.
target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/opsupport.cpp)
target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opsupport)
