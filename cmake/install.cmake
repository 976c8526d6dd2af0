# Installs the tools, the player, the core library as one archive (libtarn.a,
# made of the core folders' libraries and the C interface) with its public
# headers, the shared library libtarn.so.1 with tarn/tarn.h, pkg-config files
# (tarn: the shared library; tarn-static: the archive), a CMake package
# (find_package(Tarn) gives Tarn::tarn and Tarn::tarncore) and the man pages. Internal headers (*_internal.h, the movie record's sub-records, test
# hooks) stay out. scripts/install-check.sh tries it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARN_ARCHIVE ${PROJECT_BINARY_DIR}/libtarn.a)
set(inputs "")
set(deps "")
foreach(dir ${TARN_CORE_LAYERS} capi)
  string(APPEND inputs "$<TARGET_FILE:tarn_${dir}>|")
  list(APPEND deps tarn_${dir})
endforeach()
add_custom_command(OUTPUT ${TARN_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -DAR=${CMAKE_AR} -DOUTPUT=${TARN_ARCHIVE} "-DINPUTS=${inputs}"
          -P ${PROJECT_SOURCE_DIR}/cmake/merge_archives.cmake
  DEPENDS ${deps} ${PROJECT_SOURCE_DIR}/cmake/merge_archives.cmake
  COMMENT "Merging the core libraries into libtarn.a" VERBATIM)
add_custom_target(tarn_archive ALL DEPENDS ${TARN_ARCHIVE})
install(FILES ${TARN_ARCHIVE} DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Private headers besides the *_internal.h ones: the movie record's, and the
# video decoder's block records.
set(TARN_PRIVATE_HEADERS memory_plan.h movie_clock.h movie_input.h movie_picture.h movie_sound.h
    movie_source.h movie_stats.h movie_threads.h block_records.h)
set(excludes "")
foreach(h ${TARN_PRIVATE_HEADERS})
  list(APPEND excludes PATTERN ${h} EXCLUDE)
endforeach()
foreach(dir ${TARN_CORE_LAYERS})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn
    FILES_MATCHING PATTERN "*.h" PATTERN "*_internal.h" EXCLUDE PATTERN "*_testing.h" EXCLUDE ${excludes}
    PATTERN "sdl" EXCLUDE PATTERN "posix" EXCLUDE PATTERN "fake" EXCLUDE)
endforeach()
install(TARGETS tarn_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tarnplay)
  install(TARGETS tarnplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

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
foreach(pc tarn tarn-static)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/man/tarn.1 ${PROJECT_SOURCE_DIR}/man/tarnplay.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The C interface: libtarn.so.1 with its development link, and its header as
# programs include it, <tarn/tarn.h>.
install(TARGETS tarn_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/capi/tarn.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn)
