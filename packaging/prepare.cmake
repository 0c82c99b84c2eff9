# Run by CPack on the packages' trees before it packs them: the manual pages gzipped, as
# Debian keeps them, and the static libraries without their debug information (which is
# large and names the build machine's folders).
file(GLOB_RECURSE files ${CPACK_TEMPORARY_DIRECTORY}/*)
foreach(f ${files})
  if(f MATCHES "/share/man/man[0-9]/[^/]+\\.[0-9]$")
    execute_process(COMMAND gzip -9 -n -f ${f} RESULT_VARIABLE rc)
  elseif(f MATCHES "/lib[^/]*\\.a$")
    execute_process(COMMAND ${CPACK_VANTORAMA_STRIP} --strip-debug --enable-deterministic-archives ${f}
      RESULT_VARIABLE rc)
  else()
    continue()
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot prepare ${f} for its package")
  endif()
endforeach()
