# The helpers that run an operation in a child process and read what it left.
target_sources(${target} PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/crashsupport.h)
target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport)

# libfiu makes one call of the child's at a time fail (its POSIX preload wraps the calls).
pkg_check_modules(FIU REQUIRED IMPORTED_TARGET libfiu)
find_file(FIU_POSIX_PRELOAD fiu_posix_preload.so PATHS ${FIU_LIBDIR}/fiu /usr/lib/fiu REQUIRED NO_DEFAULT_PATH)
target_link_libraries(${target} PRIVATE PkgConfig::FIU)
target_compile_definitions(${target} PRIVATE FIU_ENABLE=1 FIU_POSIX_PRELOAD="${FIU_POSIX_PRELOAD}")
