# Installation: qo, the engine, the module manager and every extension
# library, the public headers, a CMake package (find_package(Qo)), a
# pkg-config file (qo32.pc), the man page, and a Debian package through CPack.
#
# Layout under the prefix (GNU directories):
#   bin/qo                                  the console host
#   lib/libqo32.so, lib/libMQo32.so         engine and module manager
#   lib/libQo<Name>32.so                    extensions (qo finds them here), and the
#                                           libraries they load from beside themselves
#   lib/libqo_platform.a                    text and OS helpers of the extension header
#   include/qo32.h, mqo32.h, qo_ext.h, qo/  headers
#   lib/cmake/Qo/                           QoConfig.cmake, QoConfigVersion.cmake
#   lib/pkgconfig/qo32.pc                   pkg-config
#   share/man/man1/qo.1
# Nothing records the prefix inside a binary or a package file: qo finds the
# libraries through RPATH $ORIGIN/<bin-to-lib>, the manager finds the engine
# beside itself, and the CMake and pkg-config files locate the prefix from
# their own place. So `cmake --install build --prefix DIR` works for any DIR.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Extensions named by the registry, and the three known ones if their CMake
# file did not register them.
get_property(QO_EXTENSION_TARGETS GLOBAL PROPERTY QO_EXTENSIONS)
foreach(known QoSystem32 QoMath32 QoWin32)
  if(TARGET ${known} AND NOT known IN_LIST QO_EXTENSION_TARGETS)
    qo_extension(${known})
    list(APPEND QO_EXTENSION_TARGETS ${known})
  endif()
endforeach()
list(REMOVE_DUPLICATES QO_EXTENSION_TARGETS)
get_property(QO_EXTENSION_LIBRARIES GLOBAL PROPERTY QO_EXTENSION_LIBRARIES)
if(TARGET QoWinGui AND NOT QoWinGui IN_LIST QO_EXTENSION_LIBRARIES)
  qo_extension_library(QoWinGui)
  list(APPEND QO_EXTENSION_LIBRARIES QoWinGui)
endif()
set(QO_EXTENSION_TARGETS ${QO_EXTENSION_TARGETS} CACHE INTERNAL "extension libraries")

file(RELATIVE_PATH QO_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH QO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QO_PC_TO_PREFIX "${QO_PC_TO_PREFIX}")

# qo expects every registered extension and finds the installed ones through
# the folder of the libraries relative to its own.
if(TARGET qo)
  string(REPLACE ";" " " qo_expected "${QO_EXTENSION_TARGETS}")
  target_compile_definitions(qo PRIVATE "QO_EXPECTED_EXTENSIONS=\"${qo_expected}\""
                                        "QO_BIN_TO_LIB=\"${QO_BIN_TO_LIB}\"")
  if(QO_EXTENSION_TARGETS)
    add_dependencies(qo ${QO_EXTENSION_TARGETS})
  endif()
endif()

set_target_properties(qo PROPERTIES INSTALL_RPATH "$ORIGIN/${QO_BIN_TO_LIB}")
set_target_properties(MQo32 PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS qo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS qo32 MQo32 ${QO_EXTENSION_TARGETS} ${QO_EXTENSION_LIBRARIES}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
install(TARGETS qo_platform ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/engine/include/qo32.h
              ${CMAKE_SOURCE_DIR}/frontend/mqo/include/mqo32.h
              ${CMAKE_SOURCE_DIR}/ext-system/include/qo_ext.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/include/qo
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/qo.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# CMake package of the installed tree.
set(QO_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Qo)
set(QO_EXTENSION_NAMES ${QO_EXTENSION_TARGETS})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/QoConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/QoConfig.cmake
  INSTALL_DESTINATION ${QO_CONFIG_DIR}
  PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/QoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/QoConfig.cmake ${CMAKE_BINARY_DIR}/install/QoConfigVersion.cmake
        DESTINATION ${QO_CONFIG_DIR} COMPONENT development)

# The same package for the build tree: cmake -DQo_DIR=<build folder>.
set(QO_BUILD_TREE ON)
configure_file(${CMAKE_SOURCE_DIR}/cmake/QoBuildTreeConfig.cmake.in ${CMAKE_BINARY_DIR}/QoConfig.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/QoConfig.cmake INPUT ${CMAKE_BINARY_DIR}/QoConfig.cmake.in)
file(COPY ${CMAKE_BINARY_DIR}/install/QoConfigVersion.cmake DESTINATION ${CMAKE_BINARY_DIR})

# pkg-config, relocatable through ${pcfiledir}.
configure_file(${CMAKE_SOURCE_DIR}/cmake/qo32.pc.in ${CMAKE_BINARY_DIR}/install/qo32.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/qo32.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Debian package: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME qo)
set(CPACK_PACKAGE_VENDOR "Qo")
set(CPACK_PACKAGE_CONTACT "Qo developers <qo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Qo: an embeddable scripting and formula language")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION interpreters)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The engine library libqo32.so with its C interface, the module manager libMQo32.so,\n the extension libraries, the console host qo, headers, a CMake package and a pkg-config file.")
include(CPack)
