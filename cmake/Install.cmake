# cmake --install: the two programs, their man pages, the desktop entry with
# its icon and the polkit action the entry's root action uses, and the bash
# completion, in the usual places under CMAKE_INSTALL_PREFIX. CPack builds a
# Debian package of the same (scripts/package.sh).
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS quillmere-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET quillmere)
    install(TARGETS quillmere RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  return()
endif()

install(TARGETS quillmere-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(page quillmere-cli quillmere)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/man/quillmere-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/data/quillmere-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quillmere-cli)

if(TARGET quillmere)
  install(TARGETS quillmere RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/man/quillmere.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The desktop entry's root action and the polkit action name the window by
  # its full path: the prefix of the install (cmake --install --prefix, or the
  # package's /usr), known only when the install runs, not the configured one.
  install(CODE "
    set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
      set(CMAKE_INSTALL_FULL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    endif()
    foreach(file quillmere.desktop org.quillmere.policy)
      configure_file(\"${PROJECT_SOURCE_DIR}/data/\${file}\"
                     \"${PROJECT_BINARY_DIR}/data/\${file}\" @ONLY)
    endforeach()")
  install(FILES ${PROJECT_BINARY_DIR}/data/quillmere.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/data/quillmere.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${PROJECT_BINARY_DIR}/data/org.quillmere.policy
          DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
endif()

# The Debian package. Run-time dependencies are Debian 12's package names:
# the C++ run time, Qt 6 widgets for the window, and the image libraries the
# build linked.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmere developers <quillmere@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and recover deleted files on NTFS volumes and images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillmere opens an NTFS volume, a disk or an image (raw, split raw, E01, VHD,\n VHDX, VMDK, QCOW2) read-only, lists its deleted files and writes them out.\n A window (Simplified Chinese captions) and quillmere-cli.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(qm_deb_depends "libc6, libstdc++6, libgcc-s1")
if(TARGET quillmere)
  string(APPEND qm_deb_depends ", libqt6widgets6, libqt6gui6, libqt6core6, qt6-qpa-plugins")
endif()
set(qm_deb_names libewf=libewf2 libvhdi=libvhdi1 libvmdk=libvmdk1 libqcow=libqcow1)
foreach(pair ${qm_deb_names})
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 module)
  list(GET pair 1 deb)
  if(module IN_LIST QM_IMAGE_LIBRARIES)
    string(APPEND qm_deb_depends ", ${deb}")
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${qm_deb_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, bash-completion")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sleuthkit")
include(CPack)
