# Shared part of the MinGW toolchains; VELDC_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${VELDC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDC_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELDC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the DLL and the test programs then import only system DLLs, and wine needs no
# MinGW runtime DLLs on its path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
