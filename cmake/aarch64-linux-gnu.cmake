# Cross-compiling for AArch64 on a Debian x86-64 machine: Debian's cross
# compilers (g++-aarch64-linux-gnu) and the :arm64 multiarch development
# packages in /usr/lib/aarch64-linux-gnu. Programs built with it run under
# qemu-user (qemu-aarch64, also through binfmt for the child processes tests
# start). scripts/test-arm64 uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# pkg-config and find_package see the :arm64 packages only (plus the
# architecture-independent ones, such as nlohmann-json's headers).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
