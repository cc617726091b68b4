# The command-line flasher, run as a program; included from tests/CMakeLists.txt.
kavro_add_test(tst_flashcli LABEL cli
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_flashcli.cpp
    LIBS kavro_session_fixture kavro_bootsim_lib kavro_flash_lib)
target_compile_definitions(tst_flashcli PRIVATE KAVRO_FLASH="$<TARGET_FILE:kavro-flash>"
    KAVRO_VERSION="${PROJECT_VERSION}")
add_dependencies(tst_flashcli kavro-flash)
