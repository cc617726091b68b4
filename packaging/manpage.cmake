# Turns one scdoc page into roff and its gzip (no name or time stamp inside, as Debian wants).
#   cmake -DSCDOC=... -DGZIP=... -DSOURCE=page.1.scd -DPAGE=out/page.1 -P manpage.cmake
get_filename_component(folder ${PAGE} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE} RESULT_VARIABLE failed)
if(failed)
    file(REMOVE ${PAGE})
    message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
execute_process(COMMAND ${GZIP} -9n INPUT_FILE ${PAGE} OUTPUT_FILE ${PAGE}.gz RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "gzip failed on ${PAGE}")
endif()
