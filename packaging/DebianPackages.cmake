# The Debian packages, one a component:
#   vqlink      libvqlink.so with its header, vqcli and vqquery
#   vqviewer    the viewer (needs vqlink)
#   vqarchived  the reference archive server and its system service
# cpack -G DEB in the build folder writes them; dpkg-shlibdeps declares the
# library dependencies.
set(CPACK_PACKAGE_NAME vqarchive)
set(CPACK_PACKAGE_VENDOR "Tovrin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VQarchive maintainers <maintainers@users.noreply.c-seed-39cedb65.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vqarchive.example/")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL vqlink vqviewer vqarchived)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The viewer's dependency on libvqlink.so.1 is found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/vqlink)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENT_VQLINK_DESCRIPTION
  "VQarchive client library and command-line tools
libvqlink.so connects to a VQarchive archive server: it sends queries,
record downloads and text searches, and delivers their results through
callbacks. The package also holds vqcli, a command-line host of the
library for scripts, and vqquery, which checks query files and prints the
SQL they stand for.")
set(CPACK_DEBIAN_VQLINK_PACKAGE_NAME vqlink)
set(CPACK_DEBIAN_VQLINK_PACKAGE_SECTION libs)
# The library's cache is rebuilt by dpkg's ldconfig trigger, not by scripts.
set(CPACK_DEBIAN_VQLINK_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqlink/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqlink/postrm
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqlink/triggers)
set(CPACK_DEBIAN_VQLINK_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_COMPONENT_VQVIEWER_DESCRIPTION
  "VQarchive viewer for archived communications
The viewer browses what a telephone system's archive server stored:
instant-message transcripts, call recordings, voice mail, faxes and call
attached data. The operator composes queries, lists and filters the
records, plays recordings, reads and exports transcripts, opens faxes and
searches message text.")
set(CPACK_COMPONENT_VQVIEWER_DEPENDS vqlink)
set(CPACK_DEBIAN_VQVIEWER_PACKAGE_NAME vqviewer)
set(CPACK_DEBIAN_VQVIEWER_PACKAGE_SECTION net)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the window system
# plugins, the audio decoders of the media player and the fax page formats.
set(CPACK_DEBIAN_VQVIEWER_PACKAGE_DEPENDS "qt6-qpa-plugins, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good")
set(CPACK_DEBIAN_VQVIEWER_PACKAGE_RECOMMENDS "qt6-image-formats-plugins, xdg-utils")

set(CPACK_COMPONENT_VQARCHIVED_DESCRIPTION
  "VQarchive reference archive server
vqarchived serves an archive of instant messages, call recordings, voice
mail, faxes and call attached data to the VQarchive viewer and library,
from SQLite or from MariaDB. It runs as a system service under its own
user and can generate demo archives.")
set(CPACK_DEBIAN_VQARCHIVED_PACKAGE_NAME vqarchived)
set(CPACK_DEBIAN_VQARCHIVED_PACKAGE_SECTION net)
set(CPACK_DEBIAN_VQARCHIVED_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_VQARCHIVED_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqarchived/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqarchived/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqarchived/postrm
  ${PROJECT_SOURCE_DIR}/packaging/debian/vqarchived/conffiles)
set(CPACK_DEBIAN_VQARCHIVED_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
