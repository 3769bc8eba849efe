# Cross build for Debian's arm64: the aarch64-linux-gnu toolchain of
# crossbuild-essential-arm64, the multiarch libraries in /usr/lib/aarch64-linux-gnu,
# and programs run under qemu-aarch64 (tests, test discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
