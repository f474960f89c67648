# What a Debian system installs: the program's metadata for software centres
# and man (kept in packaging/), the documents every package carries, and the
# two packages that CPack makes of the install components (scripts/package
# runs it):
#   kelvoma          – the application, its desktop entry, icons, metainfo, man page
#   kelvoma-publish  – the publisher's tool, its man page and bash completion, which
#                      users of the manager never need
include(GNUInstallDirs)
set(packaging_in ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)

set(KELVOMA_PACKAGE_MAINTAINER "Tobranix <tobranix@users.noreply.github.com>"
    CACHE STRING "Maintainer named in the Debian packages")

# Compressed as Debian policy wants: best compression, no name or time stamp,
# so two builds of one source give the same bytes.
function(kelvoma_gzip input output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9n -c ${input} > ${output}
                     DEPENDS ${input} VERBATIM)
endfunction()

configure_file(${packaging_in}/cz.tobranix.Kelvoma.metainfo.xml.in
               ${packaging_out}/cz.tobranix.Kelvoma.metainfo.xml @ONLY)
configure_file(${packaging_in}/changelog.in ${packaging_out}/changelog @ONLY)
set(man_pages kelvoma.1 kelvomactl.1 kelvoma-publish.1)
set(compressed ${packaging_out}/changelog.gz)
kelvoma_gzip(${packaging_out}/changelog ${packaging_out}/changelog.gz)
foreach(page IN LISTS man_pages)
  kelvoma_gzip(${packaging_in}/${page} ${packaging_out}/${page}.gz)
  list(APPEND compressed ${packaging_out}/${page}.gz)
endforeach()
add_custom_target(kelvoma_package_documents ALL DEPENDS ${compressed})

install(FILES ${packaging_out}/cz.tobranix.Kelvoma.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT kelvoma)
install(FILES ${packaging_out}/kelvoma.1.gz ${packaging_out}/kelvomactl.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT kelvoma)
install(TARGETS kelvoma-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT kelvoma-publish)
install(FILES ${packaging_out}/kelvoma-publish.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT kelvoma-publish)
# bash-completion loads it on demand by the command's name.
install(FILES ${packaging_in}/kelvoma-publish.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kelvoma-publish
        COMPONENT kelvoma-publish)
install(FILES ${packaging_in}/kelvomactl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kelvomactl
        COMPONENT kelvoma)
foreach(package IN ITEMS kelvoma kelvoma-publish)
  install(FILES ${packaging_in}/copyright ${packaging_out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
endforeach()

# A build without the publisher's team keys or the notary key refuses every
# bundle; its package must say so before anyone installs it.
set(team_keys)
if(KELVOMA_TEAM_KEYS_DIR)
  file(GLOB team_keys CONFIGURE_DEPENDS "${KELVOMA_TEAM_KEYS_DIR}/*.pub")
  list(FILTER team_keys EXCLUDE REGEX "/notary\\.pub$")  # the build skips it too (CodeTrust.cmake)
endif()
if(KELVOMA_CODE_TRUST STREQUAL "macos")
  set(trust_note
      "This build checks bundles with /usr/bin/codesign and /usr/sbin/spctl,\n"
      "which Debian does not have: it refuses every bundle it would install.")
elseif(NOT team_keys OR NOT KELVOMA_NOTARY_KEY)
  set(trust_note
      "This build carries no team keys or no notary key: it refuses every\n"
      "bundle it would install, with \"Podpis aplikace nebo identita vydavatele\n"
      "nesouhlasí.\" or \"Notářský lístek stažené aplikace neplatí.\".")
else()
  set(trust_note
      "Bundles are installed only when sealed with one of the publisher's team\n"
      "keys and carrying the notary's ticket.")
endif()
string(JOIN "" trust_note ${trust_note})

set(CPACK_PACKAGE_NAME kelvoma)
set(CPACK_PACKAGE_VENDOR "Tobranix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/tobranix/kelvoma")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)  # the descriptions quote messages
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kelvoma kelvoma-publish)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KELVOMA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE kelvoma)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_KELVOMA_PACKAGE_NAME kelvoma)
set(CPACK_DEBIAN_KELVOMA-PUBLISH_PACKAGE_NAME kelvoma-publish)
# dpkg-shlibdeps sees only linked libraries: every download runs /usr/bin/curl.
# Without qt6-wayland Qt falls back to XWayland on a Wayland desktop; a
# publisher checks what kelvoma-publish signs with signify.
set(CPACK_DEBIAN_KELVOMA_PACKAGE_DEPENDS curl)
set(CPACK_DEBIAN_KELVOMA_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_KELVOMA-PUBLISH_PACKAGE_SUGGESTS signify-openbsd)
set(CPACK_DEBIAN_KELVOMA_DESCRIPTION
    "tray manager for one publisher's family of companion tools\n"
    "Kelvoma shows whether each of the publisher's tools is installed and\n"
    "running, switches them on and off, checks for newer releases, and\n"
    "downloads, verifies and installs them with a backup and rollback.\n"
    "Everything it shows is in Czech.\n"
    "\n"
    "kelvoma --verify-release checks a signed release manifest and its archive;\n"
    "kelvomactl shows, checks and installs the tools from a terminal.\n"
    "\n"
    "${trust_note}")
set(CPACK_DEBIAN_KELVOMA-PUBLISH_DESCRIPTION
    "signs releases of tools for the Kelvoma manager\n"
    "kelvoma-publish makes a tool's bundle from its program, seals and\n"
    "notarizes it, and writes the archive and the signed release manifest\n"
    "(release.json) that Kelvoma verifies before it installs an update,\n"
    "after checking them as an installation would. Only a tool's publisher\n"
    "needs it.")
string(JOIN "" CPACK_DEBIAN_KELVOMA_DESCRIPTION ${CPACK_DEBIAN_KELVOMA_DESCRIPTION})
string(JOIN "" CPACK_DEBIAN_KELVOMA-PUBLISH_DESCRIPTION
       ${CPACK_DEBIAN_KELVOMA-PUBLISH_DESCRIPTION})
include(CPack)
