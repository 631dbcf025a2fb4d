# The widget test queues a mouse click the way the window system does, through Qt's platform
# interface, whose headers come with qt6-base-private-dev.
if(EXISTS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_HEADERS}/QtGui/${Qt6Gui_VERSION}/QtGui/qpa/qwindowsysteminterface.h")
  target_link_libraries(${target} PRIVATE Qt6::GuiPrivate)
  target_compile_definitions(${target} PRIVATE TARVOS_TEST_QPA=1)
else()
  message(WARNING "qt6-base-private-dev is missing: tst_zlibtool will skip its queued-click check")
  target_compile_definitions(${target} PRIVATE TARVOS_TEST_QPA=0)
endif()
