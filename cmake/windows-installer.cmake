# Makes the Windows installer (cmake -P): installs the build's files into a
# folder of their own, as the zip has them, writes the installer's source
# from TEMPLATE with one component per file, and builds the .msi with wixl.
# wixl has no element for environment variables, so the entry that puts the
# install folder on the system PATH goes into the finished .msi's
# Environment table with msibuild, from the same msitools.
#
# -DBUILD_DIR -DTEMPLATE -DICON -DVERSION -DUPGRADE_CODE -DOUTPUT
cmake_minimum_required(VERSION 3.16)
foreach(name BUILD_DIR TEMPLATE ICON VERSION UPGRADE_CODE OUTPUT)
    if(NOT DEFINED ${name})
        message(FATAL_ERROR "windows-installer: -D${name}=... is missing")
    endif()
endforeach()
foreach(tool wixl msibuild)
    find_program(${tool}_path ${tool})
    if(NOT ${tool}_path)
        message(FATAL_ERROR "windows-installer: no ${tool} (Debian's wixl and msitools packages)")
    endif()
endforeach()

# wixl takes the sources' paths relative to its working folder, the build's.
set(stage ${BUILD_DIR}/installer-files)
file(REMOVE_RECURSE ${stage})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage} --strip
    OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windows-installer: installing into ${stage} failed")
endif()

# Windows Installer versions have three numbers.
set(MSI_VERSION ${VERSION})
if(MSI_VERSION MATCHES "^[0-9]+\\.[0-9]+$")
    string(APPEND MSI_VERSION ".0")
endif()

# A component keeps its GUID from version to version as long as its file
# keeps its place, as Windows Installer expects.
set(guid_namespace 5D353CEB-E7CA-460A-B585-6B5CCA7B5151)
function(component_id path out)
    string(MAKE_C_IDENTIFIER "c_${path}" id)
    set(${out} ${id} PARENT_SCOPE)
endfunction()

# add_component PATH INDENT: the component that installs PATH (relative to
# the stage), onto DIRECTORIES, and its reference, onto COMPONENT_REFS. The
# window's program carries the Start menu entry.
function(add_component path indent)
    component_id(${path} id)
    string(UUID guid NAMESPACE ${guid_namespace} NAME ${path} TYPE SHA1 UPPER)
    get_filename_component(name ${path} NAME)
    set(xml "${indent}<Component Id=\"${id}\" Guid=\"${guid}\" Win64=\"yes\">\n")
    string(APPEND xml "${indent}  <File Id=\"f_${id}\" Name=\"${name}\" Source=\"installer-files/${path}\" KeyPath=\"yes\"/>\n")
    # A plain shortcut to the file, not an advertised one: it starts the
    # program without asking Windows Installer to check the product first.
    if(path STREQUAL "kavro-downloader.exe")
        string(APPEND xml "${indent}  <Shortcut Id=\"StartMenuEntry\" Directory=\"ProgramMenuFolder\"\n"
            "${indent}            Name=\"Kavro Firmware Downloader\" Target=\"[#f_${id}]\"\n"
            "${indent}            WorkingDirectory=\"INSTALLDIR\" Icon=\"kavro.ico\"/>\n")
    endif()
    string(APPEND xml "${indent}</Component>\n")
    set(DIRECTORIES "${DIRECTORIES}${xml}" PARENT_SCOPE)
    set(COMPONENT_REFS "${COMPONENT_REFS}      <ComponentRef Id=\"${id}\"/>\n" PARENT_SCOPE)
endfunction()

file(GLOB top_files RELATIVE ${stage} LIST_DIRECTORIES false ${stage}/*)
file(GLOB folders RELATIVE ${stage} LIST_DIRECTORIES true ${stage}/*)
list(REMOVE_ITEM folders ${top_files})
list(SORT top_files)
list(SORT folders)
if(NOT "kavro-downloader.exe" IN_LIST top_files)
    message(FATAL_ERROR "windows-installer: ${stage} has no kavro-downloader.exe")
endif()

set(DIRECTORIES "")
set(COMPONENT_REFS "")
set(indent "          ")
foreach(path ${top_files})
    add_component(${path} "${indent}")
endforeach()
foreach(folder ${folders})
    string(MAKE_C_IDENTIFIER "d_${folder}" folder_id)
    string(APPEND DIRECTORIES "${indent}<Directory Id=\"${folder_id}\" Name=\"${folder}\">\n")
    file(GLOB_RECURSE inside RELATIVE ${stage} ${stage}/${folder}/*)
    list(SORT inside)
    foreach(path ${inside})
        if(path MATCHES "/.*/")
            message(FATAL_ERROR "windows-installer: ${path} is nested deeper than the installer goes")
        endif()
        add_component(${path} "${indent}  ")
    endforeach()
    string(APPEND DIRECTORIES "${indent}</Directory>\n")
endforeach()

file(RELATIVE_PATH ICON ${BUILD_DIR} ${ICON})
set(source ${BUILD_DIR}/kavro-downloader.wxs)
configure_file(${TEMPLATE} ${source} @ONLY)
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${wixl_path} -a x64 -o ${OUTPUT} ${source}
    WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windows-installer: wixl failed on ${source}")
endif()

# "=-*PATH": set at install, taken out at uninstall, the system's variable;
# "[~];" adds to its end. The two actions run where Windows Installer's own
# sequence has them.
component_id(kavro-flash.exe flash_component)
execute_process(COMMAND ${msibuild_path} ${OUTPUT} -q
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
    -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('InstallFolderOnPath', '=-*PATH', '[~];[INSTALLDIR]', '${flash_component}')"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windows-installer: msibuild could not add the PATH entry to ${OUTPUT}")
endif()
file(SIZE ${OUTPUT} size)
message(STATUS "windows-installer: ${OUTPUT} (${size} bytes)")
