# `cmake --install <build> --prefix <p>` installs the library (versioned soname), its public
# headers, a CMake package (find_package(RelaymatrixTidewire CONFIG)) and a pkg-config file
# (relaymatrix-tidewire). A host brings its own SDK; the logger stand-in, with its own
# pkg-config file (relaymatrix-sdk), is installed only when asked for:
#   cmake --install <build> --prefix <p> --component sdk
include(CMakePackageConfigHelpers)

set(TIDEWIRE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/RelaymatrixTidewire)
set(TIDEWIRE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# pkg-config files find the prefix from where they lie, so the tree may be moved.
file(RELATIVE_PATH TIDEWIRE_PC_UP "/root/${TIDEWIRE_PKGCONFIG_DIR}" "/root")
string(REGEX REPLACE "/$" "" TIDEWIRE_PC_UP "${TIDEWIRE_PC_UP}")

install(TARGETS RelaymatrixTidewire EXPORT RelaymatrixTidewireTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tidewire
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)
install(EXPORT RelaymatrixTidewireTargets NAMESPACE RelaymatrixTidewire::
    DESTINATION ${TIDEWIRE_CMAKE_DIR} COMPONENT library)
configure_package_config_file(cmake/RelaymatrixTidewireConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/RelaymatrixTidewireConfig.cmake
    INSTALL_DESTINATION ${TIDEWIRE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/RelaymatrixTidewireConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/RelaymatrixTidewireConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/RelaymatrixTidewireConfigVersion.cmake
    DESTINATION ${TIDEWIRE_CMAKE_DIR} COMPONENT library)
configure_file(cmake/relaymatrix-tidewire.pc.in relaymatrix-tidewire.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/relaymatrix-tidewire.pc
    DESTINATION ${TIDEWIRE_PKGCONFIG_DIR} COMPONENT library)

install(TARGETS RelaymatrixSDK EXPORT RelaymatrixSDKTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/include/relaymatrix
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk EXCLUDE_FROM_ALL)
install(EXPORT RelaymatrixSDKTargets NAMESPACE RelaymatrixTidewire::
    DESTINATION ${TIDEWIRE_CMAKE_DIR} COMPONENT sdk EXCLUDE_FROM_ALL)
configure_file(cmake/relaymatrix-sdk.pc.in relaymatrix-sdk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/relaymatrix-sdk.pc
    DESTINATION ${TIDEWIRE_PKGCONFIG_DIR} COMPONENT sdk EXCLUDE_FROM_ALL)
