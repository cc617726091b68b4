# Picks the Qt major version: sets QT_VERSION_MAJOR (Qt 6 when both are
# installed, or the one -DKAVRO_QT_MAJOR=5|6 names) and KAVRO_QT_MINIMUM.
set(KAVRO_QT_MAJOR "" CACHE STRING "Qt major version to build with (5 or 6; empty: 6 if found, else 5)")
if(KAVRO_QT_MAJOR)
    find_package(QT NAMES Qt${KAVRO_QT_MAJOR} REQUIRED COMPONENTS Core)
else()
    # The order of NAMES does not decide between two versions under one
    # prefix (/usr/lib/<arch>/cmake/Qt5 and Qt6); the order of the folders
    # does, so they are taken highest version first.
    set(CMAKE_FIND_PACKAGE_SORT_ORDER NATURAL)
    set(CMAKE_FIND_PACKAGE_SORT_DIRECTION DEC)
    find_package(QT NAMES Qt6 Qt5 REQUIRED COMPONENTS Core)
    unset(CMAKE_FIND_PACKAGE_SORT_ORDER)
    unset(CMAKE_FIND_PACKAGE_SORT_DIRECTION)
endif()

# The oldest release of each that is built and tested.
if(QT_VERSION_MAJOR EQUAL 5)
    set(KAVRO_QT_MINIMUM 5.15)
else()
    set(KAVRO_QT_MINIMUM 6.4)
endif()
