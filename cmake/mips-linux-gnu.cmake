# 32-bit big-endian MIPS (o32).
set(kovamem_triple mips-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(kovamem_qemu qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
