# Builds the Debian packages of the build BUILD afresh into OUT, with cpack CPACK.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc})")
endif()
