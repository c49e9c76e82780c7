# Writes the desktop entry at install time, so it names the program where it was put.
file(WRITE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/dittoly-ua.desktop"
"[Desktop Entry]
Type=Application
Name=Dittoly UA
Comment=Back up, restore and reset the data of Universal apps
Exec=\"${CMAKE_INSTALL_PREFIX}/dittoly-ua\"
Path=${CMAKE_INSTALL_PREFIX}
Icon=${CMAKE_INSTALL_PREFIX}/share/icons/hicolor/scalable/apps/dittoly-ua.svg
Terminal=false
Categories=Utility;FileTools;
")
