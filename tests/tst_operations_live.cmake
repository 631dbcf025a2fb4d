# Child processes and SQLite helpers shared by the operations and Start tests.
target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opsupport/opsupport.cpp)
target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opsupport)
