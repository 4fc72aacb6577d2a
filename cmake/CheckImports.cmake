# cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> "-DRUNTIME_DIRS=<dir;...>" -P CheckImports.cmake
# Fails when a Windows program imports a DLL that comes with the MinGW
# toolchain (found under RUNTIME_DIRS) rather than with Windows: a bare
# Windows would refuse to start it.

cmake_minimum_required(VERSION 3.20)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${result})")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${headers}")
if(NOT import_lines)
  message(FATAL_ERROR "no imported DLLs found in ${PROGRAM}: not a Windows program, or objdump's format changed")
endif()

set(toolchain_dlls "")
foreach(dir IN LISTS RUNTIME_DIRS)
  file(GLOB_RECURSE found "${dir}/*.dll")
  foreach(dll IN LISTS found)
    get_filename_component(name "${dll}" NAME)
    string(TOLOWER "${name}" name)
    list(APPEND toolchain_dlls "${name}")
  endforeach()
endforeach()
if(NOT toolchain_dlls)
  message(FATAL_ERROR "no MinGW runtime DLLs under ${RUNTIME_DIRS}: nothing to check against")
endif()

set(imports "")
set(offending "")
foreach(line IN LISTS import_lines)
  string(REGEX REPLACE "^DLL Name: *" "" name "${line}")
  string(STRIP "${name}" name)
  list(APPEND imports "${name}")
  string(TOLOWER "${name}" lower)
  if(lower IN_LIST toolchain_dlls)
    list(APPEND offending "${name}")
  endif()
endforeach()
if(offending)
  message(FATAL_ERROR "${PROGRAM} needs DLLs of the MinGW toolchain: ${offending}")
endif()
message(STATUS "${PROGRAM} imports only ${imports}")
