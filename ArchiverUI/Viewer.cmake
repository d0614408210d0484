# The viewer's windows (main frame, dialogs, spin edit, shared images) as a
# library, so that the tests drive them headlessly, and the thin vqviewer
# program over it.
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)

# The program's own version data, compiled in where the original read its
# version resource.
set(VQ_VIEWER_PRODUCT_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/VersionData.h.in
  ${CMAKE_CURRENT_BINARY_DIR}/viewer_generated/VersionData.h @ONLY)

add_library(archiverui STATIC
  AboutDlg.cpp
  AboutDlg.h
  CommonData.cpp
  CommonData.h
  Main.cpp
  Main.h
  SettingsDlg.cpp
  SettingsDlg.h
  UTCDialog.cpp
  UTCDialog.h
  VersionData.h.in
  VersionInfo.cpp
  VersionInfo.h
  VQApplication.cpp
  VQApplication.h
  VQMessageBox.cpp
  VQMessageBox.h
  VQSpinEdit.cpp
  VQSpinEdit.h
  icons.qrc
)
target_include_directories(archiverui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
  PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/viewer_generated)
# The frame and the settings dialog work through the connection controller.
target_link_libraries(archiverui PUBLIC archiverui_data archiverui_model
  Qt6::Core Qt6::Gui Qt6::Widgets)
set_target_properties(archiverui PROPERTIES AUTOMOC ON AUTORCC ON AUTOUIC ON)
vq_warnings(archiverui)

add_executable(vqviewer vqviewer.cpp)
target_link_libraries(vqviewer PRIVATE archiverui)
set_target_properties(vqviewer PROPERTIES AUTOMOC ON AUTORCC ON AUTOUIC ON)
vq_warnings(vqviewer)
