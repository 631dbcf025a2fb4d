# The widget test queues mouse clicks the way the window system does.
target_link_libraries(${target} PRIVATE Qt6::GuiPrivate)
