# Fault soak, unplugged cable and hostile input; included from tests/CMakeLists.txt.
kavro_add_test(tst_reliability LABEL session
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_reliability.cpp
    LIBS kavro_session_fixture kavro_bootsim_lib)
