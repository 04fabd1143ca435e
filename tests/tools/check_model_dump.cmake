# Runs `xdbq dump` and compares the SHA-256 of its output with the one
# recorded in model_dump.sha256: reworking how the model is stored or routed
# must leave every answer of every id exactly as it was. When the model is
# changed on purpose, read the difference first (dump before and after,
# diff), then record the new digest.
execute_process(COMMAND ${XDBQ} dump OUTPUT_FILE ${WORKDIR}/model_dump.txt
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xdbq dump failed: ${status}")
endif()
file(SHA256 ${WORKDIR}/model_dump.txt actual)
file(STRINGS ${EXPECTED} expected LIMIT_COUNT 1)
file(STRINGS ${WORKDIR}/model_dump.txt compared REGEX "^answers compared")
message(STATUS "${compared}")
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "the model dump changed: ${actual}, recorded ${expected}; "
                      "the dump is ${WORKDIR}/model_dump.txt")
endif()
