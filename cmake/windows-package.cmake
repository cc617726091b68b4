# The Windows packages: what a person unzips or installs and runs. The
# programs, the Qt DLLs and plugins the window loads, and the mingw runtime,
# gathered by install rules. `cpack` (ZIP) makes
# kavro-downloader-<version>-win64.zip of them; the `installer` target makes
# kavro-downloader-<version>-win64.msi of the same files.
set(kavro_programs kavro-downloader)
if(TARGET kavro-flash)
    list(APPEND kavro_programs kavro-flash)
endif()
install(TARGETS ${kavro_programs} RUNTIME DESTINATION .)

set(qt Qt${QT_VERSION_MAJOR})
foreach(module Core Gui Widgets SerialPort)
    install(FILES $<TARGET_FILE:${qt}::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:${qt}::QWindowsIntegrationPlugin> DESTINATION platforms)
# The native look: Qt 6.8 draws Windows 10 and 11 with one plugin of its own.
if(QT_VERSION_MAJOR EQUAL 5)
    install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)
else()
    install(FILES $<TARGET_FILE:Qt6::QModernWindowsStylePlugin> DESTINATION styles)
endif()
# The window icon is an .ico.
install(FILES $<TARGET_FILE:${qt}::QICOPlugin> DESTINATION imageformats)

# The compiler's runtime, wherever this compiler keeps it. Debian ships it
# with its debugging information (libstdc++-6.dll alone is 23 MB of it), so
# the packages take copies without.
set(runtime_dir ${CMAKE_BINARY_DIR}/runtime)
file(MAKE_DIRECTORY ${runtime_dir})
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
    endif()
    get_filename_component(runtime_path "${runtime_path}" REALPATH)
    execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${runtime_dir}/${runtime} ${runtime_path}
        RESULT_VARIABLE stripped)
    if(NOT stripped EQUAL 0)
        message(FATAL_ERROR "${CMAKE_STRIP} could not strip ${runtime_path}")
    endif()
    install(FILES ${runtime_dir}/${runtime} DESTINATION .)
endforeach()

# Qt goes with its licence: the texts, and what the package holds under it.
# They come with Qt for Windows where it has them, else from the system.
set(QT_VERSION ${${qt}_VERSION})
set(qt_licences ${${qt}_DIR}/../../../LICENSES/qtbase)
foreach(licence LGPL-3 GPL-3)
    set(text ${qt_licences}/${licence}.0-only.txt)
    if(NOT EXISTS ${text})
        set(text /usr/share/common-licenses/${licence})
    endif()
    if(NOT EXISTS ${text})
        message(FATAL_ERROR "No text of the ${licence}.0 licence, which Qt is used under, to ship with it")
    endif()
    install(FILES ${text} DESTINATION licenses RENAME ${licence}.0.txt)
endforeach()
set(QT_THIRD_PARTY "")
if(EXISTS ${qt_licences}/debian-copyright.txt)
    install(FILES ${qt_licences}/debian-copyright.txt DESTINATION licenses RENAME Qt-third-party.txt)
    set(QT_THIRD_PARTY "The libraries Qt bundles and their licences are listed in Qt-third-party.txt.")
endif()
# RapidJSON is compiled into kavro-flash: its licence (Expat) goes with it.
if(NOT EXISTS /usr/share/doc/rapidjson-dev/copyright)
    message(FATAL_ERROR "No RapidJSON licence to ship: install rapidjson-dev (scripts/ensure-packages)")
endif()
install(FILES /usr/share/doc/rapidjson-dev/copyright DESTINATION licenses RENAME RapidJSON.txt)
# toml++ is built into kavro-flash.exe: its notice goes with it.
install(FILES /usr/share/doc/libtomlplusplus-dev/copyright DESTINATION licenses RENAME toml++.txt)
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/licenses.txt.in ${CMAKE_BINARY_DIR}/licenses/README.txt @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/licenses/README.txt DESTINATION licenses)

# The installer. Its UpgradeCode names the product for good: each build gets
# a new ProductCode, and installing it replaces whatever version this code
# installed before.
set(KAVRO_UPGRADE_CODE 416DA3EF-26B4-4EB6-9225-C1E6C6B4AEB3)
set(installer ${CMAKE_BINARY_DIR}/kavro-downloader-${PROJECT_VERSION}-win64.msi)
add_custom_target(installer
    COMMAND ${CMAKE_COMMAND}
        -DBUILD_DIR=${CMAKE_BINARY_DIR}
        -DTEMPLATE=${CMAKE_SOURCE_DIR}/packaging/windows/kavro-downloader.wxs.in
        -DICON=${CMAKE_SOURCE_DIR}/resources/images/kavro.ico
        -DVERSION=${PROJECT_VERSION}
        -DUPGRADE_CODE=${KAVRO_UPGRADE_CODE}
        -DOUTPUT=${installer}
        -P ${CMAKE_SOURCE_DIR}/cmake/windows-installer.cmake
    DEPENDS ${kavro_programs}
    COMMENT "Making ${installer}"
    VERBATIM)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kavro-downloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kavro-downloader-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
