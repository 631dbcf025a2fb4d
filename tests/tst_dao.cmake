# The engine tests make their databases with the back-end maker.
target_link_libraries(${target} PRIVATE tarvos_backendmaker)
