# Cross build for Debian's armhf: the arm-linux-gnueabihf toolchain of
# crossbuild-essential-armhf, the multiarch libraries in /usr/lib/arm-linux-gnueabihf,
# and programs run under qemu-arm (tests, test discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
