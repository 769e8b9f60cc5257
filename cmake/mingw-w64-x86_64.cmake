# Cross-builds the Windows x86-64 programs with Debian's mingw-w64 (the posix
# thread variant, which has std::thread and std::mutex). Test programs run
# under wine through cmake/wine-run, which CMake uses as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TT_MINGW_PREFIX}-windres)

# Libraries and headers for the target come from the mingw sysroot, plus any
# prefix given in CMAKE_PREFIX_PATH (the cross-built GoogleTest); programs
# that run during the build come from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${TT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later; said out loud, since headers that depend on it (Asio)
# warn when it is left to the default.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")

# No C or C++ runtime DLL beside the programs: libgcc, libstdc++ and the
# winpthreads library are linked in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test discovery and ctest run the .exe files under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
