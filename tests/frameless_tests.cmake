# The frameless window's title buttons and dragging; included from tests/CMakeLists.txt.
kavro_add_test(tst_framelesswindow LABEL window
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_framelesswindow.cpp LIBS kavro_window)
