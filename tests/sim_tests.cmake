# Tests of the simulated board; included from tests/CMakeLists.txt.
kavro_add_test(tst_frameparser
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_frameparser.cpp LIBS kavro_bootsim_lib)
kavro_add_test(tst_bootsim
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_bootsim.cpp LIBS kavro_bootsim_lib)
