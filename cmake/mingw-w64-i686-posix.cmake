# Cross build for 32-bit (x86) Windows: the x64 toolchain with i686 compilers.
set(VELMOR_MINGW_PROCESSOR i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake")

# Doubles in SSE2 registers, as on x64: x87's wider intermediates round differently (99.5 % would read "99%"). Every
# CPU that Windows 8 and later accept has SSE2, and so has every x86 CPU sold since 2004.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
