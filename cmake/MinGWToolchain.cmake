# Cross-builds Tarn for 64-bit Windows with Debian's MinGW-w64 compiler in its
# posix thread model (the win32 model has no std::thread, which the Qt for
# Windows and the development service use). scripts/build-windows passes this
# file, with TARN_WINDOWS_PREFIXES naming the Qt for Windows and the folder of
# staged headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARN_MINGW_TRIPLET}-windres)

# Libraries, headers and packages come from the MinGW tree and the given
# prefixes only: glibc's headers in /usr/include would break the build.
# Programs (Qt's moc, rcc and qmlcachegen among them) are the build machine's.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_TRIPLET} ${TARN_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run through Wine (Debian's wine runs 64-bit programs).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
