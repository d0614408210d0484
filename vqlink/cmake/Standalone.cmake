# vqlink as a project of its own (cmake -S vqlink): the library and what it
# is built from (the runtime, the RPC framework, the sockets), nothing of
# Qt, the viewer or the server, for a host that vendors the sources.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(GNUInstallDirs)

# Warnings stay warnings unless asked: a vendoring host's compiler may know
# more of them than ours.
option(VQLINK_WERROR "Treat warnings in the library's sources as errors" OFF)
function(vq_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${VQLINK_WERROR}>:-Werror>)
endfunction()

set(vqlink_common ${CMAKE_CURRENT_LIST_DIR}/../../_COMMON)
add_subdirectory(${vqlink_common}/lib/ORTU/Src ortu)
add_subdirectory(${vqlink_common}/lib/QREX/Src qrex)
add_subdirectory(${vqlink_common}/winSockets winsockets)
