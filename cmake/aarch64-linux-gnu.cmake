# 64-bit ARM (aarch64).
set(kovamem_triple aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(kovamem_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
