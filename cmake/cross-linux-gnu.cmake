# Shared part of the cross toolchain files: Debian's <triple>-gcc/g++ with
# the target's sysroot under /usr/<triple>; tests run under qemu user-mode
# emulation. The including file sets kovamem_triple, CMAKE_SYSTEM_PROCESSOR
# and kovamem_qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${kovamem_triple}-gcc)
set(CMAKE_CXX_COMPILER ${kovamem_triple}-g++)
set(CMAKE_ASM_COMPILER ${kovamem_triple}-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/${kovamem_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${kovamem_qemu} -L /usr/${kovamem_triple})
