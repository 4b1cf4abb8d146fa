# Runs widl and fails on any warning it prints.
execute_process(
  COMMAND ${WIDL} ${BITS} -I${IDL_DIR} -L${STDOLE_DIR} -h -H ${HEADER} -u -U ${IIDS} -t -T ${TLB} ${IDL}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "widl failed (${result}):\n${out}${err}")
endif()
if(out MATCHES "warning" OR err MATCHES "warning")
  file(REMOVE ${HEADER} ${IIDS} ${TLB})
  message(FATAL_ERROR "widl printed a warning, treated as an error:\n${out}${err}")
endif()
