# Run by CPack on the staged files: CPack's strip keeps the compiler's identification and the
# old-style notes, which are of no use in an installed program (dh_strip drops them as well).
file(GLOB_RECURSE _programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER _programs INCLUDE REGEX "/bin/[^/]+$")
if(NOT _programs)
  message(FATAL_ERROR "no staged programs below ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(_p ${_programs})
  execute_process(COMMAND ${CPACK_KAPO_STRIP} --remove-section=.comment --remove-section=.note ${_p}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
