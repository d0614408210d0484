# The Debian packages, one a component, laid out as Debian lays out a
# library:
#   libvqlink1     libvqlink.so.1, nothing else (no Qt)
#   libvqlink-dev  its headers, the libvqlink.so link, vqlink.pc and the
#                  CMake package vqlink::vqlink
#   vqlink-tools   vqcli and vqquery with their manual pages
#   vqviewer       the viewer
#   vqarchived     the reference archive server and its system service
# cpack -G DEB in the build folder writes them; dpkg-shlibdeps declares the
# dependencies on other libraries, the symbols file those of other hosts on
# libvqlink1.
set(CPACK_PACKAGE_NAME vqarchive)
set(CPACK_PACKAGE_VENDOR "Tovrin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VQarchive maintainers <maintainers@users.noreply.c-seed-39cedb65.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vqarchive.example/")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${VQ_PACKAGES})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our programs' dependency on libvqlink.so.1 is found in the build tree,
# where no package owns it: the components' dependencies below name it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/vqlink)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# The packages that held everything of the library until 1.0.0.
set(VQ_OLD_LIBRARY_PACKAGE "vqlink (<= 1.0.0)")

set(CPACK_COMPONENT_LIBVQLINK1_DESCRIPTION
  "VQarchive archive client library
libvqlink.so connects to a VQarchive archive server: it sends queries,
record downloads and text searches, and delivers their results through
callbacks. It exports plain C functions and brings its own runtime.")
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_NAME libvqlink1)
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_BREAKS ${VQ_OLD_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_REPLACES ${VQ_OLD_LIBRARY_PACKAGE})
# The library's cache is rebuilt by dpkg's ldconfig trigger, not by scripts;
# the symbols file gives hosts the version they need.
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/libvqlink1/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/libvqlink1/postrm
  ${PROJECT_SOURCE_DIR}/packaging/debian/libvqlink1/triggers
  ${PROJECT_SOURCE_DIR}/packaging/debian/libvqlink1/symbols)
set(CPACK_DEBIAN_LIBVQLINK1_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_COMPONENT_LIBVQLINK-DEV_DESCRIPTION
  "VQarchive archive client library - development files
What a host program of libvqlink.so is built with: the C and C++ header
vqlink/vqlink.h with the protocol's records, the link libvqlink.so, the
pkg-config file vqlink.pc and the CMake package (find_package(vqlink),
target vqlink::vqlink).")
set(CPACK_COMPONENT_LIBVQLINK-DEV_DEPENDS libvqlink1)
set(CPACK_DEBIAN_LIBVQLINK-DEV_PACKAGE_NAME libvqlink-dev)
set(CPACK_DEBIAN_LIBVQLINK-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBVQLINK-DEV_PACKAGE_BREAKS ${VQ_OLD_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBVQLINK-DEV_PACKAGE_REPLACES ${VQ_OLD_LIBRARY_PACKAGE})

set(CPACK_COMPONENT_VQLINK-TOOLS_DESCRIPTION
  "VQarchive command-line tools
vqcli is a command-line host of libvqlink.so for scripts: server status,
SQL queries, record downloads, text searches and evidence packages.
vqquery checks query files and prints the SQL they stand for.")
set(CPACK_COMPONENT_VQLINK-TOOLS_DEPENDS libvqlink1)
set(CPACK_DEBIAN_VQLINK-TOOLS_PACKAGE_NAME vqlink-tools)
set(CPACK_DEBIAN_VQLINK-TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_VQLINK-TOOLS_PACKAGE_BREAKS ${VQ_OLD_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_VQLINK-TOOLS_PACKAGE_REPLACES ${VQ_OLD_LIBRARY_PACKAGE})

set(CPACK_COMPONENT_VQVIEWER_DESCRIPTION
  "VQarchive viewer for archived communications
The viewer browses what a telephone system's archive server stored:
instant-message transcripts, call recordings, voice mail, faxes and call
attached data. The operator composes queries, lists and filters the
records, plays recordings, reads and exports transcripts, opens faxes and
searches message text.")
set(CPACK_COMPONENT_VQVIEWER_DEPENDS libvqlink1)
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
