# Encodes a short movie with the tool, decodes it to PNG files with the C
# example and checks that every frame became a picture.
#   cmake -DTOOL=tarn -DEXAMPLE=tarn_decode_png -DWORK=dir -P run_example.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/png)
foreach(step "synth;video;${WORK}/clip.y4m;--size;30x18;--frames;5"
             "encode;-q;-o;${WORK}/clip.trn;${WORK}/clip.y4m")
  execute_process(COMMAND ${TOOL} ${step} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "tarn ${step} failed: ${err}")
  endif()
endforeach()
execute_process(COMMAND ${EXAMPLE} ${WORK}/clip.trn ${WORK}/png RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "30 x 18, 5 frames")
  message(FATAL_ERROR "the example failed (${rc}): ${out}${err}")
endif()
file(GLOB pictures ${WORK}/png/frame*.png)
list(LENGTH pictures n)
if(NOT n EQUAL 5)
  message(FATAL_ERROR "the example wrote ${n} pictures for 5 frames")
endif()
# A missing movie is an error with the library's text.
execute_process(COMMAND ${EXAMPLE} ${WORK}/missing.trn ${WORK}/png RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "Error opening file")
  message(FATAL_ERROR "a missing movie gave ${rc}: ${err}")
endif()
file(REMOVE_RECURSE ${WORK})
