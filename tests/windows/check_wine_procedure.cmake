# Runs service procedures through scripts/wine-run --procedure and checks the runner's contract
# for them, in a Wine prefix of the test's own.
#
#   cmake -DRUNNER=<scripts/wine-run> -DBIN=<windows bin> -DSCRATCH=<dir> -DCACHE=<dir>
#         -DSIMBOOK=<the Linux build's simbook> -DMODE=procedure|timeout|console|killed|pipe
#         -P check_wine_procedure.cmake
#
# procedure: the runner's refusals (a Wi-Fi library missing, a path Wine would read otherwise, a
#   procedure path cmd.exe would expand, no HOME);
#   a batch file on a machine copy in a session of its own: the three traced runs with their
#   start and exit lines, brenvik's change in the machine file, the full status of "exit /b -3"
#   in the status file; then a kept session started twice, serving two calls on two machines,
#   one of them a program whose name starts with "-" and another temporary folder.
# timeout: a procedure that hangs is ended at --timeout with every process of the session, and
#   by SIGTERM, SIGINT and SIGHUP (in a kept session for the last).
# console: the programs' verdicts written to a console (a pty, which Wine makes the programs'
#   console): the text a person sees, line ends as the terminal shows them, and the full status.
# killed: a runner killed (SIGKILL) in the middle of a run, alone and in a kept session: nothing
#   holds the prefix's lock afterwards, the next run ends what the dead one left (its program
#   among them) and works, and `--session stop` works and leaves nothing; then runs back to
#   back after a session that no runner knows of; then a kept session whose owner is killed, and
#   the session `simbook run --windows` keeps for a table, simbook killed in the middle of a row.
# pipe: `simbook run --windows` with its table read by a reader that goes away.
foreach(var RUNNER BIN SCRATCH CACHE MODE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_wine_procedure: ${var} not set")
    endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
set(failures "")
set(guid "{c799c725-24b9-464b-b6c7-5e300dce17d6}")

# run(<name> <machine file> <runner arguments>...): <name>_rc, <name>_out (and _out_hex),
# <name>_err
function(run name machine)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${machine}
                            SIMBOOK_TRACE=${SCRATCH}/${name}.jsonl XDG_CACHE_HOME=${CACHE}
                            XDG_STATE_HOME=${SCRATCH}/state ${RUNNER} ${ARGN}
                    WORKING_DIRECTORY ${SCRATCH} INPUT_FILE /dev/null
                    OUTPUT_FILE ${SCRATCH}/${name}.out ERROR_VARIABLE err RESULT_VARIABLE rc)
    # Compared as hex: reading the bytes as text (an output variable, file(READ)) drops the CRs.
    file(READ ${SCRATCH}/${name}.out out_hex HEX)
    file(READ ${SCRATCH}/${name}.out out)
    string(REGEX REPLACE "wine-run: preparing the Wine prefix[^\n]*\n" "" err "${err}")
    set(${name}_rc "${rc}" PARENT_SCOPE)
    set(${name}_out "${out}" PARENT_SCOPE)
    set(${name}_out_hex "${out_hex}" PARENT_SCOPE)
    set(${name}_err "${err}" PARENT_SCOPE)
endfunction()

# expect(<what> <condition>): notes <what> as a failure unless the if() condition holds.
function(expect what condition)
    cmake_language(EVAL CODE "if(${condition})\nset(holds TRUE)\nendif()")
    if(NOT holds)
        set(failures "${failures}\n  ${what}" PARENT_SCOPE)
    endif()
endfunction()

# The trace's start and exit lines, one per list element.
function(runs_of trace out)
    set(lines "")
    if(EXISTS ${trace})
        file(STRINGS ${trace} lines REGEX "^{\"op\":\"(start|exit)\"")
    endif()
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Nothing of the session may be left: no process of the prefix, no server folder, no run folder.
function(expect_nothing_left)
    set(prefix ${CACHE}/simbook-wine/prefix)
    execute_process(
        COMMAND sh -c "for e in /proc/[0-9]*/environ; do { tr '\\\\0' '\\\\n' <\"$e\"; } 2>/dev/null | grep -qxF 'WINEPREFIX=${prefix}' && echo \"\${e%/environ}\"; done"
        OUTPUT_VARIABLE left OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(GLOB runs ${CACHE}/simbook-wine/run.*)
    execute_process(COMMAND stat -c "%d %i" ${prefix} OUTPUT_VARIABLE ids
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(ids)
    list(GET ids 0 dev)
    list(GET ids 1 ino)
    math(EXPR dev "${dev}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR ino "${ino}" OUTPUT_FORMAT HEXADECIMAL)
    string(REPLACE "0x" "" name "server-${dev}-${ino}")
    set(tmp /tmp)
    if("$ENV{TMPDIR}" MATCHES "^/")
        set(tmp $ENV{TMPDIR})
    endif()
    file(GLOB dirs ${tmp}/wine-*/${name} ${tmp}/.wine-*/${name})
    if(left OR runs OR dirs)
        set(failures "${failures}\n  left behind: processes [${left}], run folders [${runs}], server folders [${dirs}]" PARENT_SCOPE)
    endif()
endfunction()

if(MODE STREQUAL "procedure")
    # Refused before Wine starts, with one line: a programs' folder without one of the Wi-Fi
    # libraries (sundrel would use Wine's own Wi-Fi service), and paths that Wine would read
    # otherwise than Linux (a backslash is a separator there; a quote breaks the command lines
    # that carry the path to the launcher and the device server).
    file(GLOB parts ${BIN}/*.exe ${BIN}/*.so ${BIN}/*.sys ${BIN}/*.dll)
    # parts_in(<folder> <left out>): links to the programs and their parts, but one.
    function(parts_in folder left_out)
        file(MAKE_DIRECTORY ${folder})
        foreach(part ${parts})
            get_filename_component(part_name ${part} NAME)
            if(NOT part_name STREQUAL left_out)
                file(CREATE_LINK ${part} ${folder}/${part_name} SYMBOLIC)
            endif()
        endforeach()
    endfunction()
    parts_in(${SCRATCH}/no_api wlanapi.dll)
    parts_in(${SCRATCH}/no_ui wlanui.dll)
    parts_in(${SCRATCH}/q\"dir "")
    file(WRITE ${SCRATCH}/machine.json "{}")
    file(WRITE ${SCRATCH}/a\\b.json "{}")
    file(WRITE ${SCRATCH}/q\"m.json "{}")
    file(WRITE ${SCRATCH}/p%OS%q/proc.cmd "@echo off\r\nexit /b 0\r\n")
    # <name> <machine file> <program, or the procedure's runner arguments with commas> <stderr>
    set(refusals
        "no_api|${SCRATCH}/machine.json|${SCRATCH}/no_api/tolmare.exe|wlanapi.dll is missing"
        "no_ui|${SCRATCH}/machine.json|${SCRATCH}/no_ui/sundrel.exe|wlanui.dll is missing"
        "backslash|${SCRATCH}/a\\b.json|${BIN}/sundrel.exe|SIMBOOK [^\n]*cannot be reached from Wine"
        "quote|${SCRATCH}/q\"m.json|${BIN}/sundrel.exe|SIMBOOK [^\n]*cannot be reached from Wine"
        "quote_folder|${SCRATCH}/machine.json|${SCRATCH}/q\"dir/brenvik.exe|the program [^\n]*cannot be reached from Wine"
        "percent|${SCRATCH}/machine.json|--procedure,${BIN},--,${SCRATCH}/p%OS%q/proc.cmd|the procedure [^\n]*cannot be run by cmd.exe")
    foreach(row ${refusals})
        string(REPLACE "|" ";" row "${row}")
        list(GET row 0 name)
        list(GET row 1 machine)
        list(GET row 2 program)
        list(GET row 3 message)
        string(REPLACE "," ";" program "${program}")
        run(${name} ${machine} ${program} /wl:ENABLE)
        expect("refusal ${name}: rc ${${name}_rc}, stdout [${${name}_out}], stderr [${${name}_err}]"
               "${name}_rc EQUAL 125 AND ${name}_out STREQUAL \"\" AND ${name}_err MATCHES \"^wine-run: ${message}[^\n]*\n$\"")
    endforeach()
    # Without HOME (and XDG_CACHE_HOME) there is no place for the prefix: one line, not a shell
    # error.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=HOME --unset=XDG_CACHE_HOME
                            SIMBOOK=${SCRATCH}/machine.json ${RUNNER} ${BIN}/tolmare.exe
                    INPUT_FILE /dev/null OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
    expect("no HOME: rc ${rc}, stdout [${out}], stderr [${err}]"
           "rc EQUAL 125 AND out STREQUAL \"\" AND err MATCHES \"^wine-run: neither XDG_CACHE_HOME nor HOME is set[^\n]*\n$\"")

    # A procedure in a session of its own: three traced runs, the change written back, the full
    # status of its end.
    file(WRITE ${SCRATCH}/procedure.cmd
         "@echo off\r\ntolmare\r\necho tolmare said %ERRORLEVEL%\r\nbrenvik /wl:DISABLE\r\n"
         "echo  brenvik said %ERRORLEVEL%\r\ntolmare.exe >NUL\r\necho tolmare said %ERRORLEVEL%\r\n"
         "echo args [%~1] [%2]\r\nexit /b -3\r\n")
    run(procedure ${SCRATCH}/machine.json --procedure ${BIN} --status-file ${SCRATCH}/status
        -- procedure.cmd "two words" x)
    expect("procedure: exit status ${procedure_rc} (253 expected), stderr [${procedure_err}]"
           "procedure_rc EQUAL 253 AND procedure_err STREQUAL \"\"")
    set(status "")
    if(EXISTS ${SCRATCH}/status)
        file(READ ${SCRATCH}/status status)
    endif()
    expect("status file [${status}]" "status STREQUAL \"-3\n\"")
    string(CONCAT expected_out "tolmare[SUCCESS]\r\nWLAN[ENABLE]\r\nWirelessSwitch[ENABLE]\r\n"
           "WirelessSwitchDisplay[ENABLE]\r\nSupervisorPassword[DISABLE]\r\nUserPassword[DISABLE]\r\n"
           "tolmare said 3211264\r\nbrenvik[SUCCESS] brenvik said 0\r\ntolmare said 3145728\r\n"
           "args [two words] [x]\r\n")
    string(HEX "${expected_out}" expected_hex)
    expect("procedure output [${procedure_out}]" "procedure_out_hex STREQUAL expected_hex")
    runs_of(${SCRATCH}/procedure.jsonl runs)
    set(expected_runs
        "{\"op\":\"start\",\"run\":1,\"program\":\"tolmare\",\"args\":[]}"
        "{\"op\":\"exit\",\"run\":1,\"status\":3211264}"
        "{\"op\":\"start\",\"run\":2,\"program\":\"brenvik\",\"args\":[\"/wl:DISABLE\"]}"
        "{\"op\":\"exit\",\"run\":2,\"status\":0}"
        "{\"op\":\"start\",\"run\":3,\"program\":\"tolmare\",\"args\":[]}"
        "{\"op\":\"exit\",\"run\":3,\"status\":3145728}")
    expect("trace runs [${runs}]" "runs STREQUAL expected_runs")
    # Each run's device lines lie between its start and its exit line.
    set(second "")
    set(before_last "")
    if(EXISTS ${SCRATCH}/procedure.jsonl)
        file(STRINGS ${SCRATCH}/procedure.jsonl lines)
        list(GET lines 1 second)
        list(GET lines -2 before_last)
    endif()
    expect("trace order: [${second}] ... [${before_last}]"
           "second MATCHES \"^{\\\"op\\\":\\\"open\\\"\" AND before_last MATCHES \"^{\\\"op\\\":\\\"close\\\"\"")
    file(READ ${SCRATCH}/machine.json machine_text)
    expect("brenvik's change in the machine file:\n${machine_text}"
           "machine_text MATCHES \"\\\"wlan_flags\\\": *0[^0-9x]\"")
    expect_nothing_left()

    # A kept session: started twice (quietly), one call per machine, a program named "-...".
    run(start ${SCRATCH}/machine.json --session start ${BIN}/tolmare.exe)
    run(again ${SCRATCH}/machine.json --session start ${BIN}/tolmare.exe)
    expect("second session start: rc ${again_rc}, stderr [${again_err}]"
           "start_rc EQUAL 0 AND again_rc EQUAL 0 AND again_err STREQUAL \"\"")
    file(WRITE ${SCRATCH}/absent.json "{\"driver\":{\"present\":false}}")
    run(absent ${SCRATCH}/absent.json --status-file ${SCRATCH}/absent.status ${BIN}/tolmare.exe)
    set(absent_status "")
    if(EXISTS ${SCRATCH}/absent.status)
        file(READ ${SCRATCH}/absent.status absent_status)
    endif()
    expect("no driver in the kept session: rc ${absent_rc}, status [${absent_status}]"
           "absent_rc EQUAL 254 AND absent_status STREQUAL \"-2\n\"")
    file(WRITE ${SCRATCH}/fresh.json "{}")
    file(MAKE_DIRECTORY ${SCRATCH}/odd)
    parts_in(${SCRATCH}/odd "")
    file(CREATE_LINK ${BIN}/tolmare.exe ${SCRATCH}/odd/-tolmare.exe SYMBOLIC)
    # (With a temporary folder of its own, which Wine must not use to look for the session.)
    file(MAKE_DIRECTORY ${SCRATCH}/tmp)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${SCRATCH}/fresh.json
                            SIMBOOK_TRACE=${SCRATCH}/dash.jsonl XDG_CACHE_HOME=${CACHE}
                            TMPDIR=${SCRATCH}/tmp ${RUNNER} -tolmare.exe /x
                    WORKING_DIRECTORY ${SCRATCH}/odd INPUT_FILE /dev/null TIMEOUT 60
                    OUTPUT_QUIET ERROR_VARIABLE dash_err RESULT_VARIABLE dash_rc)
    runs_of(${SCRATCH}/dash.jsonl dash_runs)
    set(expected_dash "{\"op\":\"start\",\"run\":1,\"program\":\"-tolmare\",\"args\":[\"/x\"]}"
                      "{\"op\":\"exit\",\"run\":1,\"status\":3211264}")
    file(GLOB dash_tmp ${SCRATCH}/tmp/*)
    expect("program named -tolmare.exe: rc ${dash_rc}, stderr [${dash_err}], runs [${dash_runs}], in its temporary folder [${dash_tmp}]"
           "dash_rc EQUAL 0 AND dash_runs STREQUAL expected_dash AND NOT dash_tmp")
    run(stop ${SCRATCH}/machine.json --session stop)
    expect("session stop: rc ${stop_rc}" "stop_rc EQUAL 0")
    expect_nothing_left()
elseif(MODE STREQUAL "timeout")
    # sundrel waits 15 s under Wine for a scan that never reports its end.
    file(WRITE ${SCRATCH}/silent.json
         "{\"wlan\":{\"interfaces\":[{\"guid\":\"${guid}\",\"scan\":\"silent\"}]}}")
    file(WRITE ${SCRATCH}/hang.cmd "@echo off\r\nsundrel ${guid}\r\necho not reached\r\n")
    run(hang ${SCRATCH}/silent.json --procedure ${BIN} --status-file ${SCRATCH}/status
        --timeout 3 -- hang.cmd)
    expect("time-out: rc ${hang_rc}, stdout [${hang_out}], stderr [${hang_err}]"
           "hang_rc EQUAL 124 AND hang_out STREQUAL \"\" AND hang_err MATCHES \"^wine-run: timed out after 3 s[^\n]*\n$\"")
    expect("a status file after a time-out" "NOT EXISTS ${SCRATCH}/status")
    expect_nothing_left()

    # A signal to the runner ends the procedure and the Wine session at once: its own status, one
    # line, no status file. The last one comes in a kept session. (Job control keeps SIGINT from
    # being ignored in the background.)
    foreach(row "TERM|143|terminated" "INT|130|interrupted" "HUP|129|hung up")
        string(REPLACE "|" ";" row "${row}")
        list(GET row 0 signal)
        list(GET row 1 expected_rc)
        list(GET row 2 said)
        if(signal STREQUAL "HUP")
            run(start ${SCRATCH}/silent.json --session start ${BIN}/tolmare.exe)
        endif()
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${SCRATCH}/silent.json
                    SIMBOOK_TRACE=${SCRATCH}/${signal}.jsonl XDG_CACHE_HOME=${CACHE}
                    bash -c "set -m
                             \"$0\" --procedure \"$1\" --status-file $2.status -- hang.cmd \\
                                 </dev/null >$2.out 2>$2.err & runner=$!
                             i=0
                             until grep -q WlanScan $2.jsonl 2>/dev/null || [ $i -ge 600 ]; do
                                 sleep 0.1; i=$((i + 1))
                             done
                             kill -$2 $runner; wait $runner; echo $?"
                    ${RUNNER} ${BIN} ${signal}
            WORKING_DIRECTORY ${SCRATCH} OUTPUT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
        file(READ ${SCRATCH}/${signal}.err err)
        file(READ ${SCRATCH}/${signal}.out out)
        expect("SIG${signal}: rc ${rc}, stdout [${out}], stderr [${err}]"
               "rc EQUAL ${expected_rc} AND out STREQUAL \"\" AND err STREQUAL \"wine-run: ${said}; the Wine session was ended\n\"")
        expect("a status file after SIG${signal}" "NOT EXISTS ${SCRATCH}/${signal}.status")
        expect_nothing_left()
    endforeach()
    run(stop ${SCRATCH}/silent.json --session stop)
elseif(MODE STREQUAL "pipe")
    # A table whose reader goes away after its first bytes: simbook ends by itself with a failure
    # (not by SIGPIPE: 141), and nothing of the Wine session it kept for the table is left.
    file(WRITE ${SCRATCH}/report.cmd "@echo off\r\ntolmare\r\n")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${CACHE} XDG_STATE_HOME=${SCRATCH}/state
                SIMBOOK_WINE_RUN=${RUNNER}
                bash -c "\"$0\" run --windows \"$1\" --each all -- report.cmd | head -c 10 | wc -c
                         echo \${PIPESTATUS[0]}" ${SIMBOOK} ${BIN}
        WORKING_DIRECTORY ${SCRATCH} INPUT_FILE /dev/null OUTPUT_VARIABLE read_and_status
        ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE TIMEOUT 600)
    string(REPLACE "\n" ";" read_and_status "${read_and_status}")
    list(GET read_and_status 0 read)
    list(GET read_and_status -1 status)
    expect("simbook after its reader went: ${read} bytes read, status [${status}], stderr [${err}]"
           "read EQUAL 10 AND status GREATER 0 AND NOT status EQUAL 141")
    expect_nothing_left()
elseif(MODE STREQUAL "console")
    # A program run on a pty writes through WriteConsoleW, and Wine's console draws the text: a
    # CR the program wrote reaches the terminal as CR, its LF as the pty's CR LF, and the cursor is
    # hidden and shown around each write (escape sequences, dropped here). Network names go as
    # UTF-16 to the console and reach a UTF-8 terminal as UTF-8.
    file(WRITE ${SCRATCH}/healthy.json "{}")
    file(WRITE ${SCRATCH}/networks.json
         "{\"wlan\":{\"interfaces\":[{\"guid\":\"${guid}\",\"networks\":[\"HomeNet\",\"Caf\\u00e9\"]}]}}")
    set(other_guid "{c799c725-24b9-464b-b6c7-5e300dce17d7}")
    string(ASCII 27 esc)
    # <name>|<machine>|<program and arguments, comma-separated>|<full status>|<what the terminal shows>
    set(cases
        "tolmare|healthy|tolmare.exe|3211264|tolmare[SUCCESS]\r\r\nWLAN[ENABLE]\r\r\nWirelessSwitch[ENABLE]\r\r\nWirelessSwitchDisplay[ENABLE]\r\r\nSupervisorPassword[DISABLE]\r\r\nUserPassword[DISABLE]\r\r\n"
        "brenvik_rejected|healthy|brenvik.exe,/wl:Enable|-3|brenvik[FAILURE]"
        "brenvik|healthy|brenvik.exe,/wl:DISABLE|0|brenvik[SUCCESS]"
        "sundrel|networks|sundrel.exe,${guid}|0|sundrel[SUCCESS]\r\r\nHomeNet\r\r\nCafÃ©\r\r\n"
        "sundrel_other_guid|networks|sundrel.exe,${other_guid}|-1|sundrel[FAILURE]\r\r\n")
    foreach(case ${cases})
        string(REPLACE "|" ";" case "${case}")
        list(GET case 0 name)
        list(GET case 1 machine)
        list(GET case 2 command)
        list(GET case 3 expected_status)
        list(GET case 4 expected_screen)
        string(REPLACE "," " " command "${command}")
        string(REPLACE "\\r" "\r" expected_screen "${expected_screen}")
        string(REPLACE "\\n" "\n" expected_screen "${expected_screen}")
        string(HEX "${expected_screen}" expected_hex)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env LANG=C.UTF-8 SIMBOOK=${SCRATCH}/${machine}.json
                    XDG_CACHE_HOME=${CACHE} XDG_STATE_HOME=${SCRATCH}/state
                    script -qec "\"${RUNNER}\" --status-file ${name}.status ${BIN}/${command}" /dev/null
            COMMAND sed "s/${esc}\\[[0-9;?]*[A-Za-z]//g"
            WORKING_DIRECTORY ${SCRATCH} INPUT_FILE /dev/null OUTPUT_FILE ${SCRATCH}/${name}.screen
            ERROR_VARIABLE err TIMEOUT 120)
        file(READ ${SCRATCH}/${name}.screen screen_hex HEX)
        set(status "")
        if(EXISTS ${SCRATCH}/${name}.status)
            file(READ ${SCRATCH}/${name}.status status)
        endif()
        expect("${name} on a console: status [${status}], screen [${screen_hex}] (expected [${expected_hex}]), stderr [${err}]"
               "status STREQUAL \"${expected_status}\n\" AND screen_hex STREQUAL \"${expected_hex}\"")
    endforeach()
    expect_nothing_left()
elseif(MODE STREQUAL "killed")
    file(WRITE ${SCRATCH}/silent.json
         "{\"wlan\":{\"interfaces\":[{\"guid\":\"${guid}\",\"scan\":\"silent\"}]}}")
    file(WRITE ${SCRATCH}/fresh.json "{}")
    set(lock ${CACHE}/simbook-wine/lock)
    # A lock left held makes every later run wait this long, then fail.
    set(ENV{SIMBOOK_WINE_WAIT} 20)
    # killed(<name>): sundrel waiting for a scan that never ends, its runner killed with SIGKILL
    # once the scan was asked for; then whether anything still holds the prefix's lock.
    function(killed name)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${SCRATCH}/silent.json
                    SIMBOOK_TRACE=${SCRATCH}/${name}.jsonl XDG_CACHE_HOME=${CACHE}
                    sh -c "\"$0\" \"$1\" \"$2\" </dev/null >/dev/null 2>&1 & runner=$!
                           i=0
                           until grep -q WlanScan \"$3\" 2>/dev/null || [ $i -ge 600 ]; do
                               sleep 0.1; i=$((i + 1))
                           done
                           kill -KILL $runner; wait $runner
                           flock -n \"$4\" true || echo the prefix lock is held"
                    ${RUNNER} ${BIN}/sundrel.exe ${guid} ${SCRATCH}/${name}.jsonl ${lock}
            OUTPUT_VARIABLE held ERROR_VARIABLE held)
        set(scan "")
        if(EXISTS ${SCRATCH}/${name}.jsonl)
            file(STRINGS ${SCRATCH}/${name}.jsonl scan REGEX WlanScan)
        endif()
        expect("${name}: the run reached its scan before the kill" "scan")
        expect("${name}: after the kill [${held}]" "held STREQUAL \"\"")
    endfunction()
    # The dead runner's program, still running in the prefix's session?
    function(sundrel_left out)
        execute_process(
            COMMAND sh -c "for p in /proc/[0-9]*; do grep -qs sundrel.exe $p/cmdline && tr '\\0' '\\n' <$p/environ 2>/dev/null | grep -qxF 'WINEPREFIX=${CACHE}/simbook-wine/prefix' && echo \"\${p#/proc/}\"; done"
            OUTPUT_VARIABLE left OUTPUT_STRIP_TRAILING_WHITESPACE)
        set(${out} "${left}" PARENT_SCOPE)
    endfunction()

    # Alone: a later `--session stop` ends the dead run's session without waiting for the lock.
    killed(alone)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${CACHE} ${RUNNER} --session stop
                    ERROR_VARIABLE stop_err RESULT_VARIABLE stop_rc)
    expect("session stop after a killed run: rc ${stop_rc}, stderr [${stop_err}]"
           "stop_rc EQUAL 0 AND stop_err STREQUAL \"\"")
    expect_nothing_left()

    # In a kept session: the next run ends the dead run's program and serves its own machine.
    run(start ${SCRATCH}/fresh.json --session start ${BIN}/tolmare.exe)
    killed(kept)
    run(next ${SCRATCH}/fresh.json ${BIN}/tolmare.exe)
    sundrel_left(left)
    expect("the run after a killed one: rc ${next_rc}, stderr [${next_err}], stdout [${next_out}], the dead run's program [${left}]"
           "next_rc EQUAL 0 AND next_err STREQUAL \"\" AND next_out MATCHES \"^tolmare.SUCCESS.\" AND left STREQUAL \"\"")
    run(stop ${SCRATCH}/fresh.json --session stop)
    expect("session stop: rc ${stop_rc}" "stop_rc EQUAL 0")
    expect_nothing_left()

    # What an earlier session left running with no runner knowing of it (its wineserver and its
    # device server, which holds the relay): a few standalone runs back to back, on one trace
    # emptied before each, each end it or their own session and reach their exit line.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${CACHE}/simbook-wine/prefix WINEDEBUG=-all
                bash -c "wineserver -p </dev/null >/dev/null 2>&1 || exit
                         setsid wine \"$0\" </dev/null >left.out 2>/dev/null &
                         i=0
                         until grep -q ready left.out 2>/dev/null || [ $i -ge 600 ]; do
                             sleep 0.1; i=$((i + 1))
                         done
                         cat left.out" ${BIN}/simbook_server.exe.so
        WORKING_DIRECTORY ${SCRATCH} OUTPUT_VARIABLE left_ready)
    expect("the left device server came up [${left_ready}]" "left_ready MATCHES \"^ready\"")
    set(expected_abc "{\"op\":\"start\",\"run\":1,\"program\":\"sundrel\",\"args\":[\"abc\"]}"
                     "{\"op\":\"exit\",\"run\":1,\"status\":-2}")
    foreach(i RANGE 1 3)
        file(WRITE ${SCRATCH}/abc.jsonl "")
        run(abc ${SCRATCH}/fresh.json ${BIN}/sundrel.exe abc)
        runs_of(${SCRATCH}/abc.jsonl abc_runs)
        expect("sundrel abc, run ${i}: rc ${abc_rc}, stderr [${abc_err}], trace [${abc_runs}]"
               "abc_rc EQUAL 254 AND abc_err STREQUAL \"\" AND abc_runs STREQUAL expected_abc")
    endforeach()
    expect_nothing_left()

    # A kept session tied to its owner (SIMBOOK_WINE_OWNER) ends when the owner is killed outright:
    # the session file goes, then the watchdog lets go of the lock.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${CACHE}
                bash -c "sleep 600 & owner=$!
                         SIMBOOK_WINE_OWNER=$owner \"$0\" --session start \"$1\" \\
                             </dev/null >/dev/null 2>&1 || echo the session did not start
                         kill -KILL $owner
                         wait $owner 2>/dev/null
                         i=0
                         while [ -e \"$2/session\" ] && [ $i -lt 600 ]; do
                             sleep 0.1; i=$((i + 1))
                         done
                         [ -e \"$2/session\" ] && echo the session is still kept
                         flock \"$2/lock\" true"
                ${RUNNER} ${BIN}/tolmare.exe ${CACHE}/simbook-wine
        OUTPUT_VARIABLE owned ERROR_VARIABLE owned_err)
    expect("a session whose owner was killed: [${owned}]" "owned STREQUAL \"\"")
    expect_nothing_left()

    # (Standard error is left out of both: when bash tells of a job it killed is a matter of
    # timing.)
    # simbook run ties the session it keeps for a table to itself: killed outright in the middle
    # of a row (sundrel waiting for a scan that never ends), it leaves no Wine session behind.
    # (In a temporary folder of its own: a simbook killed outright cannot remove its run folder.)
    file(WRITE ${SCRATCH}/wait.cmd "@echo off\r\nsundrel ${guid}\r\n")
    file(MAKE_DIRECTORY ${SCRATCH}/killed-tmp)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${CACHE} XDG_STATE_HOME=${SCRATCH}/state
                SIMBOOK_WINE_RUN=${RUNNER} TMPDIR=${SCRATCH}/killed-tmp
                bash -c "\"$0\" run --windows \"$1\" --each silent.json -- wait.cmd \\
                             </dev/null >/dev/null 2>&1 & simbook=$!
                         i=0
                         while [ ! -e \"$2/session\" ] && [ $i -lt 1200 ]; do
                             sleep 0.1; i=$((i + 1))
                         done
                         [ -e \"$2/session\" ] || echo no session was kept
                         kill -KILL $simbook
                         wait $simbook 2>/dev/null
                         i=0
                         while [ -e \"$2/session\" ] && [ $i -lt 600 ]; do
                             sleep 0.1; i=$((i + 1))
                         done
                         [ -e \"$2/session\" ] && echo the session is still kept
                         flock \"$2/lock\" true"
                ${SIMBOOK} ${BIN} ${CACHE}/simbook-wine
        WORKING_DIRECTORY ${SCRATCH} OUTPUT_VARIABLE orphaned ERROR_VARIABLE orphaned_err
        TIMEOUT 300)
    expect("a table whose simbook was killed: [${orphaned}]" "orphaned STREQUAL \"\"")
    expect_nothing_left()
    file(REMOVE_RECURSE ${SCRATCH}/killed-tmp)
else()
    message(FATAL_ERROR "check_wine_procedure: unknown MODE ${MODE}")
endif()

if(failures)
    # Whatever was left goes with the prefix's wineserver.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${CACHE}/simbook-wine/prefix
                            wineserver -k OUTPUT_QUIET ERROR_QUIET)
    message(FATAL_ERROR "wine-run --procedure (${MODE}):${failures}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
