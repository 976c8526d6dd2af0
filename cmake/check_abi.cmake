# Compares the shared library's exported interface (its symbols and the types
# they reach from tarn/tarn.h) with the baseline kept in capi/abi/, the one
# named for the library's SONAME. An incompatible change fails; it is made on
# purpose by raising TARN_ABI_VERSION (a new SONAME) with a new baseline.
#   cmake -DABIDIFF=... -DABIDW=... -DLIBRARY=libtarn.so.N -DHEADERS=capi -DBASELINE_DIR=capi/abi
#         -DSOURCE_DIR=... [-DUPDATE=ON] -P check_abi.cmake
get_filename_component(real ${LIBRARY} REALPATH)
execute_process(COMMAND readelf -d ${real} OUTPUT_VARIABLE dynamic)
string(REGEX MATCH "Library soname: \\[([^]]+)\\]" _ "${dynamic}")
set(soname ${CMAKE_MATCH_1})
if(NOT soname)
  message(FATAL_ERROR "${LIBRARY} has no SONAME")
endif()
set(baseline ${BASELINE_DIR}/${soname}.abi)
set(opts --headers-dir ${HEADERS} --no-corpus-path --no-comp-dir-path --no-show-locs --drop-private-types
         --exported-interfaces-only)
if(UPDATE)
  execute_process(COMMAND ${ABIDW} ${opts} --out-file ${baseline} ${real} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "abidw failed on ${real}")
  endif()
  # Source paths relative to the tree, so the baseline does not name a checkout.
  file(READ ${baseline} xml)
  string(REPLACE "path='${SOURCE_DIR}/" "path='" xml "${xml}")
  file(WRITE ${baseline} "${xml}")
  message(STATUS "wrote ${baseline}")
  return()
endif()
if(NOT EXISTS ${baseline})
  message(FATAL_ERROR "no ABI baseline ${baseline} for ${soname}: a new SONAME needs a new baseline "
                      "(cmake --build BUILD --target abi_baseline)")
endif()
execute_process(COMMAND ${ABIDIFF} --no-show-locs --exported-interfaces-only ${baseline} ${real}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
# abidiff's status is a bit field (1 error, 2 usage, 4 a change, 8 an
# incompatible change), and a changed struct is only "a change": so anything
# but added functions fails.
string(REGEX MATCH "Functions changes summary: ([0-9]+) Removed, ([0-9]+) Changed" _ "${out}")
set(changedFunctions "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
string(REGEX MATCH "Variables changes summary: ([0-9]+) Removed, ([0-9]+) Changed, ([0-9]+) Added" _ "${out}")
set(changedVariables "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_3}")
if(rc EQUAL 0)
  message(STATUS "${soname}: the interface matches ${baseline}")
elseif(rc EQUAL 4 AND changedFunctions STREQUAL "00" AND changedVariables STREQUAL "000")
  message(STATUS "${soname}: functions added to the interface of ${baseline} "
                 "(refresh it with the abi_baseline target):\n${out}")
else()
  message(FATAL_ERROR "${soname} differs from ${baseline} (abidiff status ${rc}):\n${out}${err}\n"
                      "An incompatible change needs a new TARN_ABI_VERSION and a new baseline "
                      "(the abi_baseline target).")
endif()
