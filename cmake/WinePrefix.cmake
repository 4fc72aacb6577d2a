# cmake -DMAILSHOT_WINE=<loader> -DLOG_DIR=<dir> -P WinePrefix.cmake
# Makes the Wine prefix named by WINEPREFIX, or brings it up to date, for
# the Windows tests. Run with WINEDEBUG and WINEDLLOVERRIDES already set.
#
# Output goes to files, not to the caller: the first Wine process starts the
# prefix's background services, which inherit its output handles, and a pipe
# they hold open would keep CTest waiting for them.

function(run_wine log)
  execute_process(COMMAND ${MAILSHOT_WINE} ${ARGN}
                  OUTPUT_FILE ${LOG_DIR}/${log} ERROR_FILE ${LOG_DIR}/${log}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(READ ${LOG_DIR}/${log} output)
    message(FATAL_ERROR "wine ${ARGN} failed (${result}):\n${output}")
  endif()
endfunction()

file(MAKE_DIRECTORY ${LOG_DIR})
run_wine(wineboot.log wineboot -i)
# Xvfb runs no window manager. Wine would wait two seconds for one each time
# a window it lets the manager handle is hidden, and would never give such a
# window the keyboard focus; unmanaged windows take the focus themselves.
run_wine(wine-x11.log reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f)
