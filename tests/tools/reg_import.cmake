# vantorctl reg export and import as a user runs them: a tree piped out and back in, a file
# with a syntax error that changes nothing, an import stopped part-way.
# cmake -DVANTORCTL=path -DWORK=dir -P reg_import.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(ENV{WINPORT_PREFIX} ${WORK}/prefix)

# run(RC OUT ERR args...): runs vantorctl; RC, OUT and ERR name variables for the results.
function(run rc out err)
  cmake_parse_arguments(R "" "INPUT;OUTPUT" "" ${ARGN})
  set(redirect)
  if(R_INPUT)
    list(APPEND redirect INPUT_FILE ${R_INPUT})
  endif()
  if(R_OUTPUT)
    list(APPEND redirect OUTPUT_FILE ${R_OUTPUT})
  endif()
  execute_process(COMMAND ${VANTORCTL} ${R_UNPARSED_ARGUMENTS} ${redirect}
    RESULT_VARIABLE code OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  set(${rc} ${code} PARENT_SCOPE)
  set(${out} "${stdout}" PARENT_SCOPE)
  set(${err} "${stderr}" PARENT_SCOPE)
endfunction()

function(expect_ok)
  run(rc out err ${ARGN})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "vantorctl ${ARGN}: ${rc}: ${err}")
  endif()
endfunction()

function(expect_failure message)
  run(rc out err ${ARGN})
  string(FIND "${err}" "${message}" at)
  if(rc EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "vantorctl ${ARGN}: expected a failure with \"${message}\", got ${rc}: ${err}")
  endif()
endfunction()

set(key "HKCU\\Software\\T")
expect_ok(reg set ${key} s sz "a\\b")
expect_ok(reg set ${key}\\Sub d dword 31)
expect_ok(reg export ${key} - OUTPUT ${WORK}/first.reg)
expect_ok(reg delete ${key}\\Sub)
expect_ok(reg delete ${key})
expect_ok(reg import - INPUT ${WORK}/first.reg)
expect_ok(reg export ${key} - OUTPUT ${WORK}/second.reg)
file(READ ${WORK}/first.reg first HEX)
file(READ ${WORK}/second.reg second HEX)
if(NOT first STREQUAL second OR NOT first MATCHES "^52454745444954340d0a")  # "REGEDIT4" CR LF
  message(FATAL_ERROR "the tree did not come back as it was: ${first} / ${second}")
endif()

file(WRITE ${WORK}/bad.reg "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\New]\n\"a\"=dword:1\n\"b\"=dword:xyz\n")
expect_failure("${WORK}/bad.reg:5:11: hexadecimal digits expected; nothing was imported" reg import ${WORK}/bad.reg)
expect_failure("cannot read" reg query "HKCU\\Software\\New")

string(REPEAT n 300 long)
file(WRITE ${WORK}/stop.reg "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\P]\n\"a\"=dword:1\n[HKEY_CURRENT_USER\\Software\\P\\${long}]\n")
expect_failure("${WORK}/stop.reg:5: cannot write HKEY_CURRENT_USER\\Software\\P\\${long}: The parameter is incorrect. (87); stopped after writing 1 key and 1 value"
  reg import ${WORK}/stop.reg)
