# Cross-builds a static Linux executable with Debian's cross compilers
# (g++-ARCH-linux-gnu) for the machine that `cross_arch` names, included by
# that machine's toolchain file. What the build and the tests run of it (the
# demo writer, the tool) runs under qemu-user (qemu-ARCH).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${cross_arch})
set(CMAKE_C_COMPILER ${cross_arch}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${cross_arch}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_arch}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${cross_arch})
# Static: the executables need no library of the other machine to run.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
