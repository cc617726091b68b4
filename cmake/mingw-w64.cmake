# Cross-building for 64-bit Windows with Debian's mingw-w64 compilers, in
# their posix-threads flavour (the win32 flavour has no std::thread). Qt comes
# from -DCMAKE_PREFIX_PATH=<unpacked>/qt6-mingw, with its Linux tools from
# -DQT_HOST_PATH=<unpacked>/qt6-mingw/host (or <unpacked>/qt5-mingw alone,
# with -DKAVRO_QT_MAJOR=5).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)

# Headers and libraries from the target's root and the prefix path only;
# programs (moc, rcc, uic) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

