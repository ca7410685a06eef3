# What `cmake --install` puts under the prefix: the header and the static
# library with a CMake package (find_package(vnlib), target vn::vnlib) and a
# pkg-config file, the two programs and their manual pages.
include(CMakePackageConfigHelpers)

set(VN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vnlib)

set_target_properties(vnlib PROPERTIES EXPORT_NAME vnlib)
install(TARGETS vnlib EXPORT vnlibTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/vnlib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vnlibTargets NAMESPACE vn:: DESTINATION ${VN_CMAKE_PACKAGE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vnlibConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vnlibConfig.cmake
                              INSTALL_DESTINATION ${VN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vnlibConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vnlibConfig.cmake ${PROJECT_BINARY_DIR}/vnlibConfigVersion.cmake
        DESTINATION ${VN_CMAKE_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own place, so the tree stays
# usable wherever --prefix puts it.
set(VN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VN_PKGCONFIG_TO_PREFIX /${VN_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" VN_PKGCONFIG_TO_PREFIX "${VN_PKGCONFIG_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vnlib.pc.in ${PROJECT_BINARY_DIR}/vnlib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vnlib.pc DESTINATION ${VN_PKGCONFIG_DIR})

install(TARGETS vninstall vnpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/vninstall.1 ${PROJECT_SOURCE_DIR}/man/vnpack.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
