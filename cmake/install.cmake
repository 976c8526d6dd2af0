# Installs the tools, the player, the core library with its public headers, a
# pkg-config file, a CMake package (find_package(Tarn) gives Tarn::tarncore)
# and the man pages. Internal headers (*_internal.h and movie_play.h, which
# needs the private movie record) stay out. scripts/install-check.sh tries it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tarncore EXPORT TarnTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn)
foreach(dir common platform io movie video audio convert sound)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn
    FILES_MATCHING PATTERN "*.h" PATTERN "*_internal.h" EXCLUDE PATTERN "movie_play.h" EXCLUDE
    PATTERN "sdl" EXCLUDE PATTERN "posix" EXCLUDE)
endforeach()
install(TARGETS tarn_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tarnplay)
  install(TARGETS tarnplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT TarnTargets NAMESPACE Tarn:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarn)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarnConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarn)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarnConfig.cmake ${PROJECT_BINARY_DIR}/TarnConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarn)

# The pkg-config file finds its prefix from where it lies, so it stays right
# when the prefix is only chosen at install time (cmake --install --prefix).
file(RELATIVE_PATH TARN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TARN_PC_TO_PREFIX "${TARN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarn.pc.in ${PROJECT_BINARY_DIR}/tarn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/man/tarn.1 ${PROJECT_SOURCE_DIR}/man/tarnplay.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
