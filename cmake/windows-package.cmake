# The Windows package: what a person unzips and runs. The programs, the Qt
# DLLs and plugins they load, and the mingw runtime, gathered by install
# rules; `cpack` (ZIP) makes kavro-downloader-<version>-win64.zip of them.
set(kavro_programs kavro-downloader)
if(TARGET kavro-flash)
    list(APPEND kavro_programs kavro-flash)
endif()
install(TARGETS ${kavro_programs} RUNTIME DESTINATION .)

foreach(module Core Gui Widgets SerialPort)
    install(FILES $<TARGET_FILE:Qt5::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)
# The window icon is an .ico.
install(FILES $<TARGET_FILE:Qt5::QICOPlugin> DESTINATION imageformats)

# The compiler's runtime, wherever this compiler keeps it.
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
    endif()
    get_filename_component(runtime_path "${runtime_path}" REALPATH)
    install(FILES ${runtime_path} DESTINATION .)
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kavro-downloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kavro-downloader-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
