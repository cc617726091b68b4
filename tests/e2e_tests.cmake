# The program in a real X server, driven with xdotool against the simulated
# board; included from tests/CMakeLists.txt.
foreach(name good_download board_timeout cancel close_mid_transfer drag_window)
    add_test(NAME e2e_${name}
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/e2e/${name}.sh
            $<TARGET_FILE:kavro-downloader> $<TARGET_FILE:kavro-bootsim>)
    set_tests_properties(e2e_${name} PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 120)
endforeach()
