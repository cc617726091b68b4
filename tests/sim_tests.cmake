# Tests of the simulated board; included from tests/CMakeLists.txt.
kavro_add_test(tst_frameparser
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_frameparser.cpp LIBS kavro_bootsim_lib)
kavro_add_test(tst_bootsim
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_bootsim.cpp LIBS kavro_bootsim_lib)

# The end frame leaves the driver before the close restores the line.
add_test(NAME line_drain
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/line_drain.sh $<TARGET_FILE:tst_uploadthread>)
set_tests_properties(line_drain PROPERTIES
    LABELS session SKIP_RETURN_CODE 77 TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8")
