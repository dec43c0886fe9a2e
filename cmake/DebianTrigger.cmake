# SPDX-License-Identifier: MIT
# Run by cpack once the Debian packages are made (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a shared library in /usr/lib maintainer scripts
# that call ldconfig; Debian runs ldconfig through its trigger instead. So
# the library's package is taken apart, its postinst and postrm (which do
# nothing else) are replaced by the trigger, and it is put together again.
find_program(ZORTCP_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libzortcp[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/trigger-tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${ZORTCP_DPKG_DEB} --raw-extract ${deb} ${tree}
    COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    file(STRINGS ${tree}/DEBIAN/${script} lines REGEX "ldconfig")
    if(NOT lines)
      message(FATAL_ERROR "${name}: ${script} does not call ldconfig")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
  file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
  execute_process(COMMAND ${ZORTCP_DPKG_DEB} --root-owner-group -Zxz --build ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
