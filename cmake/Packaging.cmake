# Debian packages "shotlark" (the app) and "shotlark-server" (the reference server), made with
# "cpack -G DEB" in a build directory; scripts/release.sh makes them with the update bundle.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME shotlark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Shotlark")
set(CPACK_PACKAGE_CONTACT "Shotlark developers <developers@shotlark.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://shotlark.invalid/")

set(CPACK_DEBIAN_APP_PACKAGE_NAME shotlark)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION graphics)
# The first line is the synopsis; CPack indents the rest.
set(CPACK_DEBIAN_APP_DESCRIPTION "Screenshots and recordings to your own media server, from the tray
Takes region, window and screen shots, records the screen to MP4 or GIF,
keeps a replay buffer, reads text from the screen and uploads files and the
clipboard to a media server you run; every upload puts a link on the
clipboard.")
# Loaded at run time, not linked: Qt's X11 platform plugin, the English text model, and the
# sounds. Wayland sessions want Qt's Wayland plugin and the desktop portal as well, and
# notifications a server: GNOME Shell's runs on gjs, which it doesn't depend on.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "qt6-qpa-plugins, tesseract-ocr-eng, sound-theme-freedesktop")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS
    "pulseaudio | pipewire-pulse, xdg-utils, qt6-wayland, xdg-desktop-portal, gjs | notification-daemon")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME shotlark-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Reference media server for Shotlark
Stores uploads and serves their pages, links and thumbnails, converts
recordings to GIF, joins replays, and has a web dashboard with a picture
editor. Its systemd service is installed but not enabled.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
# The control file names the script "postinst".
configure_file(${CMAKE_SOURCE_DIR}/packaging/server-postinst ${CMAKE_BINARY_DIR}/packaging/postinst
               COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/postinst")
include(CPack)
