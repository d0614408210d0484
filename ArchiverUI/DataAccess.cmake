# The viewer's data access: the binding to libvqlink.so, the connection
# controller with its jobs, and the per-user settings store. Widgets stay
# out; the cursor needs no more than QtGui.
find_package(Qt6 REQUIRED COMPONENTS Core Gui)

add_library(archiverui_data STATIC
  ${CMAKE_CURRENT_LIST_DIR}/DBInterface.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DBInterface.h
  ${CMAKE_CURRENT_LIST_DIR}/DataCache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DataCache.h
  ${CMAKE_CURRENT_LIST_DIR}/SettingsStore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsStore.h
)
target_include_directories(archiverui_data PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(archiverui_data PUBLIC archiverui_model vqlink Qt6::Core Qt6::Gui)
set_target_properties(archiverui_data PROPERTIES AUTOMOC ON)
vq_warnings(archiverui_data)
