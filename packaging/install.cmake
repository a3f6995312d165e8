# Installation layout, the same as the Debian package's (see cpack.cmake):
#   /opt/netbuf/bin/netbuf          the buffer; net.db and the COMn links go
#                                   beside it, since it reads them from its
#                                   own directory
#   /usr/bin/netbuf-db, /usr/bin/netbuf-readersim
#   /lib/systemd/system/netbuf.service
#   /usr/share/doc/netbuf/README.md
# Destinations are relative to the prefix, which the package sets to /.

if(TARGET netbuf)
  install(TARGETS netbuf RUNTIME DESTINATION opt/netbuf/bin)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/netbuf.service DESTINATION lib/systemd/system)
endif()
install(TARGETS netbuf-db netbuf-readersim RUNTIME DESTINATION usr/bin)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION usr/share/doc/netbuf)
