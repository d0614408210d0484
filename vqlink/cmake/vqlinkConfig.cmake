# find_package(vqlink) for hosts of the installed library: the imported
# target vqlink::vqlink carries the library and its include directory
# (#include <vqlink/vqlink.h>). The library brings its own runtime, so a
# host needs nothing else, and may be written in C.
include(${CMAKE_CURRENT_LIST_DIR}/vqlinkTargets.cmake)
