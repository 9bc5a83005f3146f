# Runs the tool with one of its page options (--man, --bash-completion) and
# writes what it prints to OUTPUT. Leak checking is off: a sanitizer build
# runs the tool here too, and the page is all that matters.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
# EMULATOR: the command that runs the tool in a cross build (empty otherwise).
separate_arguments(runner UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${runner} ${TOOL} ${OPTION} OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "${TOOL} ${OPTION} failed: ${status}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
