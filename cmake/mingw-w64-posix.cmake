# Cross build for Windows with MinGW-w64's posix-thread compilers (the win32 variant has no std::thread): for 64-bit
# Windows, or for the processor that a toolchain file including this one names in VELMOR_MINGW_PROCESSOR first.
if(NOT VELMOR_MINGW_PROCESSOR)
    set(VELMOR_MINGW_PROCESSOR x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VELMOR_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${VELMOR_MINGW_PROCESSOR}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMOR_MINGW_PROCESSOR}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${VELMOR_MINGW_PROCESSOR}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMOR_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
