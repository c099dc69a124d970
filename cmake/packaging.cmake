# Installation of the manual page and the Debian package built by `cpack -G DEB`.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/man/stackpeek.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME stackpeek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "stackpeek maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find Python processes and profile them with py-spy")
set(CPACK_PACKAGE_DESCRIPTION
    "stackpeek is a full-screen terminal program that lists every Python process on the
machine, tells which installation each one runs from (venv, uv, conda, pyenv,
system) and which ones are ranks of one torch distributed job, and groups them.
For the selected process or group it shows py-spy stack dumps, records
30-second flame graphs into a report folder meant for a language model, or
streams a live py-spy top view. py-spy itself is not packaged in Debian; install
it with pip and put it on PATH or next to the stackpeek executable.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(STACKPEEK_MAINTAINER "stackpeek maintainers <maintainers@users.noreply.c-seed-010e9120.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STACKPEEK_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Listed by hand rather than through dpkg-shlibdeps so that the package does not change with the
# machine it is built on; these are the bounds dpkg-shlibdeps gives for the Debian 12 build.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libfmt9 (>= 9.1.0), libgcc-s1 (>= 3.0), libncursesw6 (>= 6), libsimdjson14 (>= 3.0.1), libstdc++6 (>= 11), libtinfo6 (>= 6), libutf8proc2 (>= 1.3)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS sudo)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
