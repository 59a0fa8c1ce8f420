# cmake -P: runs PROGRAM --help (with an empty environment, so that no
# default location of the machine that builds ends up in the text) and turns
# the text into OUT_DIR/NAME.1.gz and, with COMPLETION, OUT_DIR/NAME.bash.
# -D: PROGRAM USAGE2DOC NAME SUMMARY SOURCE DATE OUT_DIR, optional EXIT_CODES_MD
#     DESCRIPTION TAIL COMPLETION
foreach(var PROGRAM USAGE2DOC NAME SUMMARY SOURCE DATE OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "gen-docs.cmake: ${var} is not set")
  endif()
endforeach()
file(MAKE_DIRECTORY "${OUT_DIR}")
set(help "${OUT_DIR}/${NAME}.help")
execute_process(COMMAND env -i "${PROGRAM}" --help OUTPUT_FILE "${help}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help exited with ${rc}")
endif()
set(page "${OUT_DIR}/${NAME}.1")
execute_process(COMMAND "${USAGE2DOC}" man "${help}" "${NAME}" "${SUMMARY}" "${SOURCE}" "${DATE}"
                        "${EXIT_CODES_MD}" "${DESCRIPTION}" "${TAIL}" "${page}"
                COMMAND_ERROR_IS_FATAL ANY)
# -n: no name or time stamp in the gzip header, so that the package is reproducible.
execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
if(COMPLETION)
  execute_process(COMMAND "${USAGE2DOC}" bash "${help}" "${NAME}" "${OUT_DIR}/${NAME}.bash"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
