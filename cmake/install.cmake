# Installation, the CMake package for consumers and the Debian package.
#
#   cmake --install build --prefix DIR     bin/vandrel, the manual page, the bash completion and
#                                          the CMake package (find_package(vandrel))
#   cmake --build build --target package   vandrel_<version>_<arch>.deb (CPack)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vandrel EXPORT vandrelTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The manual page names the project version.
configure_file(${PROJECT_SOURCE_DIR}/doc/vandrel.1.in ${PROJECT_BINARY_DIR}/vandrel.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vandrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vandrel.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vandrel)

# The package holds a program only, so it does not depend on the consumer's architecture and
# lives below share/, where find_package looks on every platform layout.
set(VANDREL_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/vandrel)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vandrelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vandrelConfig.cmake
                              INSTALL_DESTINATION ${VANDREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vandrelConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/vandrelConfig.cmake
              ${PROJECT_BINARY_DIR}/vandrelConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/vandrelGenerate.cmake
        DESTINATION ${VANDREL_CMAKE_DIR})
install(EXPORT vandrelTargets NAMESPACE vandrel:: DESTINATION ${VANDREL_CMAKE_DIR})

# Debian package. The program links the C++ runtime statically, so its dependencies are the C
# library and Expat's run-time library (for reading DDS-XML documents), which dpkg-shlibdeps
# works out with the lowest versions that will do when it is installed (package dpkg-dev);
# without it the dependency is on libc6 (of the version the program's relocations need) and
# libexpat1.
set(VANDREL_PACKAGE_MAINTAINER "vandrel developers <vandrel@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME vandrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vandrel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converter from OMG IDL to OMG DDS-XML type documents")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "vandrel converts OMG IDL files, the type declarations of DDS data models, into OMG DDS-XML "
    "types documents, and such documents back into IDL. It has its own C-style preprocessor "
    "and IDL 4 parser, converts single files or whole folders in one call and reports "
    "problems in the file:line:column form editors read. The package also holds a CMake "
    "package (find_package(vandrel)) with the function vandrel_generate for builds that "
    "convert their IDL files.")
set(CPACK_PACKAGE_CONTACT "${VANDREL_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANDREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, cmake (>= 3.20)")
find_program(VANDREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VANDREL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(VANDREL_HAVE_PACKED_RELOCS)
    # Packed relocations are read by the loader of glibc 2.36 and later.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libexpat1")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libexpat1")
endif()
include(CPack)
