# libfiu makes one call of the child's at a time fail (its POSIX preload wraps the calls, ours
# the few it does not).
pkg_check_modules(FIU REQUIRED IMPORTED_TARGET libfiu)
find_file(FIU_POSIX_PRELOAD fiu_posix_preload.so PATHS ${FIU_LIBDIR}/fiu /usr/lib/fiu REQUIRED NO_DEFAULT_PATH)
if(NOT TARGET tarvos_fiupreload)
  add_library(tarvos_fiupreload MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crashsupport/fiupreload.cpp)
  target_compile_definitions(tarvos_fiupreload PRIVATE FIU_ENABLE=1)
  target_link_libraries(tarvos_fiupreload PRIVATE PkgConfig::FIU ${CMAKE_DL_LIBS})
  set_target_properties(tarvos_fiupreload PROPERTIES PREFIX "" OUTPUT_NAME fiupreload)
endif()
add_dependencies(${target} tarvos_fiupreload)
target_link_libraries(${target} PRIVATE PkgConfig::FIU)
set_source_files_properties(${source} PROPERTIES COMPILE_DEFINITIONS
  "FIU_ENABLE=1;FIU_PRELOADS=\"${FIU_POSIX_PRELOAD}:$<TARGET_FILE:tarvos_fiupreload>\"")
# The power cuts need lossyfs (optional: without it they skip).
if(TARGET lossyfs)
  add_dependencies(${target} lossyfs)
endif()
# The kills, the power cuts and the failed calls take most of the time: each is a part of its own.
set(test_parts "kills:killedOperation" "powercuts:powerCut" "failedcalls:failedCall"
               "leftovers:leftoverCompactedCopy walCopySwitchedWithoutJournal writtenWhileCompacting")
