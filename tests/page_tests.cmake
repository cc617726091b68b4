# The live page and the yield report in Debian's chromium, headless, against
# a station with simulated boards; included from tests/CMakeLists.txt.
if(NOT TARGET kavro-bootsim)
    return()
endif()
add_test(NAME page_live_page
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/page/live_page.sh
        $<TARGET_FILE:kavro-flash> $<TARGET_FILE:kavro-bootsim>)
set_tests_properties(page_live_page PROPERTIES LABELS e2e TIMEOUT 600 SKIP_RETURN_CODE 77)
