# Installation layout under the prefix (/usr for the Debian package, debian/):
#   lib/netbuf/netbuf   the buffer, in a directory only root can write: netbuf
#                       reads net.db and the COMn links from its executable's
#                       directory, and Qt looks there for qt.conf and plugins
#   lib/netbuf/netbuf-window  the operator's window, a program of its own; netbuf
#                       starts it from beside itself when there is a display
#   bin/netbuf-window   a link to it, for an operator attaching to a service
#                       (the package makes it), with its desktop entry, icon
#                       and share/man/man1/netbuf-window.1
#   bin/netbuf-db, bin/netbuf-readersim
#   share/man/man8/netbuf.8, share/man/man1/netbuf-db.1, netbuf-readersim.1
#   share/doc/netbuf/README.md
#   lib/udev/rules.d/60-netbuf.rules  FTDI adapters' latency timer at 1 ms
# The package adds the unit, the service user, /var/lib/netbuf and the
# net.db link beside the executable.

if(TARGET netbuf)
  install(TARGETS netbuf RUNTIME DESTINATION lib/netbuf)
  install(TARGETS netbuf-window RUNTIME DESTINATION lib/netbuf)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/netbuf-window.1 DESTINATION share/man/man1)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/netbuf-window.desktop DESTINATION share/applications)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/netbuf-window.svg
          DESTINATION share/icons/hicolor/scalable/apps)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/netbuf.8 DESTINATION share/man/man8)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/udev/60-netbuf.rules DESTINATION lib/udev/rules.d)
endif()
install(TARGETS netbuf-db netbuf-readersim RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/netbuf-db.1 ${CMAKE_CURRENT_LIST_DIR}/man/netbuf-readersim.1
        DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/netbuf)
