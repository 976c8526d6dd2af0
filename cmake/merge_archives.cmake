# Merges static archives into one: cmake -DAR=ar -DOUTPUT=out.a
# -DINPUTS="a.a|b.a|" -P merge_archives.cmake. Uses the archiver's MRI script.
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(script "create ${OUTPUT}\n")
foreach(lib ${INPUTS})
  string(APPEND script "addlib ${lib}\n")
endforeach()
string(APPEND script "save\nend\n")
file(WRITE ${OUTPUT}.mri "${script}")
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${AR} -M INPUT_FILE ${OUTPUT}.mri RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "merging ${INPUTS} into ${OUTPUT} failed")
endif()
