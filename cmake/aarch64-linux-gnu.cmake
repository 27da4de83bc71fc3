# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) against the multiarch :arm64 development packages,
# whose libraries live in /usr/lib/aarch64-linux-gnu. Built programs run
# under qemu-aarch64 (package qemu-user), so ctest runs the unit tests here.
# tools/cross-arm64.sh installs all of it and uses this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# find_library and find_package look in the arm64 multiarch folders; the
# build's tools (python3 for the devnode tests, pkg-config) stay the host's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The programs run on the multiarch runtime: libc6:arm64 puts the arm64
# loader at /lib/ld-linux-aarch64.so.1, where qemu finds it, and the loader
# finds libstdc++6:arm64, libcurl and jansson in /usr/lib/aarch64-linux-gnu.
# Not "-L /usr/aarch64-linux-gnu": with the cross folder's own C library
# (2.36-8cross1) every pthread_create spins forever under Debian 12's qemu
# 7.2, while a static build and the multiarch library both run threads.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
