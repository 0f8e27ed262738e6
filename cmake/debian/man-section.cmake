# Writes a help2man include file with one extra section holding a program's
# text as it prints it, for a part of the program that has a --help of its
# own (vave8ctl monitor --help).
#   cmake -DPROGRAM=... -DCOMMAND=monitor -DSECTION="LINE MONITOR" -DOUTPUT=... -P man-section.cmake
execute_process(COMMAND ${PROGRAM} ${COMMAND} --help OUTPUT_VARIABLE text RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ${COMMAND} --help failed: ${result}")
endif()
# roff: backslashes escaped, and a line that starts with a dot or a quote is
# text, not a request.
string(REPLACE "\\" "\\e" text "${text}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
file(WRITE ${OUTPUT} "[${SECTION}]\n.nf\n${text}.fi\n")
