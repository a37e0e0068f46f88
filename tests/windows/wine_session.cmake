# Brings the Wine session up before the runs: starts (or reaches) the wineserver and Wine's
# own services with their output going to /dev/null. A service started by a test's first Wine
# process would otherwise inherit that test's output pipe and hold it open, so the test would
# wait for the service instead of the program.
#
#   cmake -DEMULATOR=<wine> -P wine_session.cmake
execute_process(COMMAND ${EMULATOR} wineboot
                INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "wineboot failed (${rc}): the Wine prefix cannot be started")
endif()
