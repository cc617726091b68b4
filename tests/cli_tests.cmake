# The command-line flasher, run as a program; included from tests/CMakeLists.txt.
kavro_add_test(tst_flashcli LABEL cli
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_flashcli.cpp
    LIBS kavro_session_fixture kavro_bootsim_lib kavro_flash_lib)
target_compile_definitions(tst_flashcli PRIVATE KAVRO_FLASH="$<TARGET_FILE:kavro-flash>"
    KAVRO_VERSION="${PROJECT_VERSION}")
add_dependencies(tst_flashcli kavro-flash)
# Its soaks make it the longest suite: about 90 s here, twice that under a
# sanitizer on a busy machine.
set_tests_properties(tst_flashcli PROPERTIES TIMEOUT 900)

# Preloaded by the test of a flasher that cannot take Ctrl-C over; plain,
# whatever the build is instrumented with, so it can be loaded first.
add_library(fail_socketpair MODULE ${CMAKE_CURRENT_LIST_DIR}/failsocketpair.cpp)
set_target_properties(fail_socketpair PROPERTIES COMPILE_OPTIONS "" LINK_OPTIONS "")
target_compile_definitions(tst_flashcli PRIVATE FAIL_SOCKETPAIR="$<TARGET_FILE:fail_socketpair>")
add_dependencies(tst_flashcli fail_socketpair)

# Preloaded by the tests of DTR and RTS sequences: modem lines on a
# pseudo-terminal, handed to the simulated board.
add_library(modemshim MODULE ${CMAKE_CURRENT_LIST_DIR}/modemshim/modemshim.cpp)
set_target_properties(modemshim PROPERTIES COMPILE_OPTIONS "" LINK_OPTIONS "")
target_link_libraries(modemshim PRIVATE ${CMAKE_DL_LIBS})
target_compile_definitions(tst_flashcli PRIVATE MODEMSHIM="$<TARGET_FILE:modemshim>")
add_dependencies(tst_flashcli modemshim)
