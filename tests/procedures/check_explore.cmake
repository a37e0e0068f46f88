# The planted mistake of explore-planted.sh / .cmd, found end to end by `simbook explore`: a
# procedure that leaves a notebook alone when its wireless LAN is on, whatever its switch.
#
#   cmake -DSIMBOOK=<simbook> -DPROCEDURE=<explore-planted.sh|.cmd> -DSCRATCH=<dir>
#         -DKEYS=<k,k,...> [-DLIMIT=<n>] [-DWINDOWS=<windows bin> -DCACHE=<Wine cache>]
#         -P check_explore.cmake
#
# With a check that the switch is on whenever the procedure reports success, explore must
# (1) exit with 1 and list a counterexample whose smallest example is the single change
# firmware.setting58=0 (switch off, wireless LAN on), ended with exit 0 after one tolmare run and
# no brenvik; (2) once the procedure also asks for the switch, find no counterexample and exit
# with 0; (3) on the Linux build, pin the fixed procedure's classes with --snapshot --update, pass
# against that snapshot, and report the planted procedure's classes against it with 1.
cmake_policy(SET CMP0057 NEW) # if(IN_LIST)
foreach(var SIMBOOK PROCEDURE SCRATCH KEYS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_explore: ${var} not set")
    endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
set(failures "")

# The fixed procedure: the same file, asking for the switch as well as the wireless LAN.
file(READ ${PROCEDURE} text)
get_filename_component(extension ${PROCEDURE} LAST_EXT)
if(extension STREQUAL ".cmd")
    set(mistake "set /a \"wlan=(status >> 16) & 1\"")
    set(fix "set /a \"wlan=(status >> 16) & (status >> 20) & 1\"")
else()
    set(mistake "grep -qx 'WLAN\\[ENABLE\\]'; then")
    set(fix "grep -qx 'WLAN\\[ENABLE\\]' &&\n    printf '%s\\n' \"$report\" | grep -qx 'WirelessSwitch\\[ENABLE\\]'; then")
endif()
string(FIND "${text}" "${mistake}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "check_explore: ${PROCEDURE} no longer holds the planted line [${mistake}]")
endif()
string(REPLACE "${mistake}" "${fix}" fixed "${text}")
file(WRITE ${SCRATCH}/fixed${extension} "${fixed}")
file(COPY ${PROCEDURE} DESTINATION ${SCRATCH})
get_filename_component(planted ${PROCEDURE} NAME)

set(check --check
    "[ \"$SIMBOOK_EXIT\" -ne 0 ] || '${SIMBOOK}' show --json | grep -q '\"WirelessSwitch\": \"ENABLE\"'")
set(options --keys ${KEYS})
if(DEFINED LIMIT)
    list(APPEND options --limit ${LIMIT})
endif()
set(env XDG_STATE_HOME=${SCRATCH}/state)
if(DEFINED WINDOWS)
    list(APPEND options --windows ${WINDOWS})
    list(APPEND env XDG_CACHE_HOME=${CACHE})
else()
    list(APPEND options -j2)
endif()

# explore(<name> <procedure file> <more options>...): <name>_rc, <name>_out, <name>_err; the
# JSON report in ${SCRATCH}/<name>.json.
function(explore name procedure)
    set(command ${procedure})
    if(NOT DEFINED WINDOWS)
        set(command sh ${procedure})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env}
                            ${SIMBOOK} explore ${options} --json ${SCRATCH}/${name}.json ${ARGN}
                            -- ${command}
                    WORKING_DIRECTORY ${SCRATCH} INPUT_FILE /dev/null OUTPUT_VARIABLE out
                    ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 600)
    set(${name}_rc "${rc}" PARENT_SCOPE)
    set(${name}_out "${out}" PARENT_SCOPE)
    set(${name}_err "${err}" PARENT_SCOPE)
endfunction()

# expect(<what> <condition>): notes <what> as a failure unless the if() condition holds.
function(expect what condition)
    cmake_language(EVAL CODE "if(${condition})\nset(holds TRUE)\nendif()")
    if(NOT holds)
        set(failures "${failures}\n  ${what}" PARENT_SCOPE)
    endif()
endfunction()

# counterexamples(<report> <out>): each counterexample of the JSON report as
# "<exit>|<programs, comma-separated>|<example as compact JSON>".
function(counterexamples report out)
    set(found "")
    if(EXISTS ${report})
        file(READ ${report} json)
        string(JSON count ERROR_VARIABLE error LENGTH "${json}" counterexamples)
        if(error)
            set(count 0)
            list(APPEND found "unreadable report: ${error}")
        endif()
        if(count GREATER 0)
            math(EXPR last "${count} - 1")
            foreach(i RANGE ${last})
                string(JSON exit GET "${json}" counterexamples ${i} exit)
                string(JSON runs LENGTH "${json}" counterexamples ${i} programs)
                set(programs "")
                if(runs GREATER 0)
                    math(EXPR last_run "${runs} - 1")
                    foreach(r RANGE ${last_run})
                        string(JSON program GET "${json}" counterexamples ${i} programs ${r} program)
                        list(APPEND programs ${program})
                    endforeach()
                endif()
                list(JOIN programs "," programs)
                string(JSON example GET "${json}" counterexamples ${i} example)
                string(REGEX REPLACE "[ \n]" "" example "${example}")
                list(APPEND found "${exit}|${programs}|${example}")
            endforeach()
        endif()
    else()
        list(APPEND found "no report")
    endif()
    set(${out} "${found}" PARENT_SCOPE)
endfunction()

set(summary "(^|\n)[0-9]+ machines, [0-9]+ classes, ([0-9]+) counterexamples?\n")

# (1) The mistake, found and shrunk to one change.
explore(planted ${planted} ${check})
counterexamples(${SCRATCH}/planted.json planted_found)
expect("planted: exit status ${planted_rc} (1 expected), stderr [${planted_err}]"
       "planted_rc EQUAL 1")
expect("planted: no counterexample with the switch off alone: [${planted_found}]"
       "\"0|tolmare|{\\\"firmware.setting58\\\":0}\" IN_LIST planted_found")
string(REGEX MATCH "${summary}" line "${planted_out}")
expect("planted: summary line [${line}] in [${planted_out}]"
       "CMAKE_MATCH_2 GREATER 0")
# Counterexamples come first: the first row of the console names the shrunk change.
string(REGEX MATCH "^[^\n]*\n" first_row "${planted_out}")
expect("planted: the first row [${first_row}] is not a counterexample with the switch change"
       "first_row MATCHES \"firmware.setting58=\"")

# (2) Fixed: nothing found.
set(snapshot_options "")
if(NOT DEFINED WINDOWS)
    set(snapshot_options --snapshot ${SCRATCH}/fixed.snapshot.json --update)
endif()
explore(fixed fixed${extension} ${check} ${snapshot_options})
counterexamples(${SCRATCH}/fixed.json fixed_found)
expect("fixed: exit status ${fixed_rc} (0 expected), counterexamples [${fixed_found}], stderr [${fixed_err}]"
       "fixed_rc EQUAL 0 AND fixed_found STREQUAL \"\"")

# (3) Pinned: the fixed procedure passes against its snapshot; the planted one does not.
if(NOT DEFINED WINDOWS)
    expect("no snapshot written" "EXISTS ${SCRATCH}/fixed.snapshot.json")
    explore(pinned fixed${extension} ${check} --snapshot ${SCRATCH}/fixed.snapshot.json)
    expect("fixed against its snapshot: exit status ${pinned_rc} (0 expected), stdout [${pinned_out}], stderr [${pinned_err}]"
           "pinned_rc EQUAL 0")
    # (No check here: the snapshot alone must fail it.)
    explore(changed ${planted} --snapshot ${SCRATCH}/fixed.snapshot.json)
    expect("planted against the fixed snapshot: exit status ${changed_rc} (1 expected), stdout [${changed_out}]"
           "changed_rc EQUAL 1")
endif()

if(failures)
    message(FATAL_ERROR "simbook explore, planted mistake (${PROCEDURE}):${failures}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
