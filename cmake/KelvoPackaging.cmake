# Installation layout and the Debian package.
#
#   cmake --install build/default --prefix /usr/local     installs the program
#   cmake --build --preset default --target package       builds build/default/kelvodrive_*.deb
#
# Installed: bin/KelvoDrive; share/kelvodrive/Help/KelvoDrive.html, where the installed program
# looks for its manual (HelpKeyFilter); the desktop entry, the hicolor icons and the AppStream
# metainfo (resources/CMakeLists.txt); in the package also the Debian copyright and changelog.

set(KELVO_PACKAGE_NAME kelvodrive)
set(KELVO_PACKAGE_CONTACT "Ostrel <support@ostrel.example>")

install(FILES ${KELVO_HELP_SOURCE} DESTINATION ${CMAKE_INSTALL_DATADIR}/${KELVO_PACKAGE_NAME}/Help)

# Debian wants its copyright file and a changelog compressed with gzip -9n in the package's
# documentation folder.
set(package_doc_folder ${CMAKE_INSTALL_DATADIR}/doc/${KELVO_PACKAGE_NAME})
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
find_program(KELVO_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${KELVO_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/packaging/changelog
            > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    COMMENT "Compressing the package changelog")
add_custom_target(kelvo_package_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
# The manual page, compressed the same way.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/KelvoDrive.1.gz
    COMMAND ${KELVO_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/KelvoDrive.1
            > ${PROJECT_BINARY_DIR}/packaging/KelvoDrive.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/KelvoDrive.1
    COMMENT "Compressing the manual page")
add_custom_target(kelvo_manual_page ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/KelvoDrive.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/KelvoDrive.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${package_doc_folder})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KELVO_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR Ostrel)
set(CPACK_PACKAGE_CONTACT ${KELVO_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "document repositories as drives")
# The synopsis line comes from the summary; this is the extended description after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "KelvoDrive keeps a list of connections to document repositories, on this
computer or on a PostgreSQL server, and shows each of them as a drive folder
through FUSE. Any program can open, edit and save the documents there; every
saved change becomes a new version of the document in the repository.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from dpkg-shlibdeps; the mount helper, which it cannot see, by name. The manual's
# viewer and a keyring are recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
