# Tests of the main window and its port list, on the offscreen platform.
kavro_add_test(tst_mainwindow LABEL window
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow.cpp ${CMAKE_CURRENT_LIST_DIR}/windowtestsupport.h
    LIBS kavro_window kavro_session_fixture kavro_bootsim_lib)
kavro_add_test(tst_portdiscovery LABEL window
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_portdiscovery.cpp ${CMAKE_CURRENT_LIST_DIR}/windowtestsupport.h
    LIBS kavro_window kavro_session_fixture kavro_bootsim_lib)
