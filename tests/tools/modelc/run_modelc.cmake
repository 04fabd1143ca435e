# Runs modelc on a bad and on a good source and checks exit codes and output.
file(WRITE ${WORKDIR}/bad.model "key 2 = seq {\n  s8 [1]\n}\n")
file(WRITE ${WORKDIR}/good.model "key 2 = text @2 \"1.75a\"\n")
execute_process(COMMAND ${MODELC} -o ${WORKDIR}/bad.cpp ${WORKDIR}/bad.model
                RESULT_VARIABLE status ERROR_VARIABLE message)
if(status EQUAL 0 OR NOT message MATCHES "bad.model:2: leaf without a tag")
  message(FATAL_ERROR "bad source: status ${status}, message '${message}'")
endif()
execute_process(COMMAND ${MODELC} -n Sample -o ${WORKDIR}/good.cpp ${WORKDIR}/good.model
                RESULT_VARIABLE status ERROR_VARIABLE message)
file(READ ${WORKDIR}/good.cpp generated)
if(NOT status EQUAL 0 OR NOT generated MATCHES "extern const ModelTables Sample")
  message(FATAL_ERROR "good source: status ${status}, message '${message}'")
endif()
