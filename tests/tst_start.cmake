# A test that presses Start in the real window.
include("${CMAKE_CURRENT_SOURCE_DIR}/opsupport/windowtest.cmake")
