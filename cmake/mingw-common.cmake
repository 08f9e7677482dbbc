# The posix thread model gives std::thread and std::mutex; -static links its runtime in.
set(CMAKE_C_COMPILER ${KF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_ASM_COMPILER ${KF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_RC_COMPILER ${KF_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No DLL beyond the system's: the C, C++ and thread runtimes are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
