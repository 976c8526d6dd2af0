# Makes the seed corpus with `tarn make-corpus` and replays every target's
# seeds through its replay program: each seed must go through without a crash
# or a sanitizer report, and every target must get seeds.
#   cmake -DTOOL=... -DREPLAY_DIR=... -DOUT=... -DTARGETS=a,b -P replay_corpus.cmake
string(REPLACE "," ";" TARGETS "${TARGETS}")
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${TOOL} make-corpus ${OUT} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make-corpus failed (${rc}): ${err}")
endif()
foreach(t IN LISTS TARGETS)
  execute_process(COMMAND ${REPLAY_DIR}/replay_${t} ${OUT}/${t} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "replay_${t} failed (${rc}):\n${out}\n${err}")
  endif()
  if(out MATCHES "replayed 0 inputs" OR NOT out MATCHES "replayed [0-9]+ inputs")
    message(FATAL_ERROR "no seeds for ${t}: ${out}")
  endif()
  message(STATUS "${t}: ${out}")
endforeach()
file(REMOVE_RECURSE ${OUT})
