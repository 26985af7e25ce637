# Cross-building on Debian 12 from its multiarch packages, for the Raspberry
# Pi packages (scripts/package --arch). KALIMOR_CROSS_ARCH is Debian's name of
# the target: arm64 or armhf. The compiler is crossbuild-essential's, the
# libraries and Qt's CMake files are the target's under /usr/lib/<triplet>,
# Qt's moc, rcc and uic are this machine's own (qt6-base-dev-tools), and
# target programs (test discovery, ctest) run under qemu-user.
if(NOT KALIMOR_CROSS_ARCH)
  set(KALIMOR_CROSS_ARCH $ENV{KALIMOR_CROSS_ARCH})
endif()
if(KALIMOR_CROSS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(triplet aarch64-linux-gnu)
  set(qemu qemu-aarch64-static)
elseif(KALIMOR_CROSS_ARCH STREQUAL "armhf")
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(triplet arm-linux-gnueabihf)
  set(qemu qemu-arm-static)
else()
  message(FATAL_ERROR "KALIMOR_CROSS_ARCH must be arm64 or armhf, not '${KALIMOR_CROSS_ARCH}'")
endif()
# try_compile reads this file again in a project of its own.
set(ENV{KALIMOR_CROSS_ARCH} ${KALIMOR_CROSS_ARCH})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
# This machine's pkg-config, reading the target's .pc files only (Debian 12
# has no <triplet>-pkg-config for a foreign architecture without more packages).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu})
# Programs (avr-gcc, gzip, Qt's tools) are this machine's; libraries, headers
# and CMake packages are the target's only.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
