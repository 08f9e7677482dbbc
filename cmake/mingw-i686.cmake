# Cross build of the 32-bit Windows program with mingw-w64. The win32 thread model has no
# std::thread and links no winpthreads, so nothing newer than the kernel calls of Windows
# 98 and 2000 comes in with the runtime; -static links the C and C++ runtimes in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KF_MINGW_TRIPLE i686-w64-mingw32)
set(KF_MINGW_THREADS win32)
set(CMAKE_C_COMPILER ${KF_MINGW_TRIPLE}-gcc-${KF_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${KF_MINGW_TRIPLE}-g++-${KF_MINGW_THREADS})
set(CMAKE_ASM_COMPILER ${KF_MINGW_TRIPLE}-gcc-${KF_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${KF_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)  # never the host's GoogleTest
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs run under 32-bit Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
