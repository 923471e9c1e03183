# `cmake --install build --prefix P` gives P/bin (brivel-demo, brivelctl, brivel-sim),
# P/lib/<multiarch> (Brivelocx), P/include/Brivelocx (the public headers only),
# P/lib/<multiarch>/cmake/Brivel (find_package(Brivel) with a version file), the Qt
# Designer plugin, the udev rule for USB serial adapters and, when they exist, the
# manual pages and the shell completion. The programs find Brivelocx relative to
# themselves, so the prefix can be moved.
#
# Every rule names the component of the Debian package it belongs to
# (cmake/packaging.cmake): library, dev, tools, designer, python. A new install rule
# must name one too, or it is installed by `cmake --install` but in no package.

# Libraries go to lib/<multiarch> (lib/x86_64-linux-gnu) on Debian and its kin, for
# every prefix, as Debian's own packages do: /usr/local/lib/x86_64-linux-gnu is on
# the loader's path there, and find_package() looks in <prefix>/lib/<multiarch>/cmake.
# A value given with -DCMAKE_INSTALL_LIBDIR is kept; GNUInstallDirs' plain "lib"
# default (left in the cache of an older build folder) is replaced.
if(CMAKE_LIBRARY_ARCHITECTURE)
  get_property(libdir_help CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
  if(DEFINED CACHE{CMAKE_INSTALL_LIBDIR} AND CMAKE_INSTALL_LIBDIR STREQUAL "lib"
     AND libdir_help STREQUAL "Object code libraries (lib)")
    unset(CMAKE_INSTALL_LIBDIR CACHE)
  endif()
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR)
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
        "Object code libraries (lib/<multiarch> on Debian)")
  endif()
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The way from one installed folder to another, for $ORIGIN run paths.
function(brivel_relative_path out from to)
  file(RELATIVE_PATH path "/prefix/${from}" "/prefix/${to}")
  if(path STREQUAL "")
    set(path ".")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
brivel_relative_path(brivel_bin_to_lib ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR})

# ---- tools: the programs, the udev rule, manual pages, shell completion ------------------
foreach(program brivel-sim brivelctl brivel-demo)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${brivel_bin_to_lib}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# Lets the dialout group, and the user logged in at the machine, open the common USB
# serial adapters. udev reads /usr/lib/udev/rules.d; for another prefix, copy the file
# to /etc/udev/rules.d.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-brivel.rules
        DESTINATION lib/udev/rules.d COMPONENT tools)

# Manual pages and shell completion: cmake/manuals.cmake (component tools).

# ---- library and dev: Brivelocx, its headers and CMake package ---------------------------
if(TARGET Brivelocx)
  install(TARGETS Brivelocx EXPORT BrivelTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
  install(FILES ${BRIVELOCX_PUBLIC_HEADERS} ${PROJECT_BINARY_DIR}/generated/brivel_version.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/Brivelocx COMPONENT dev)
  install(EXPORT BrivelTargets NAMESPACE Brivel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brivel
          COMPONENT dev)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BrivelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/BrivelConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brivel)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrivelConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/BrivelConfig.cmake
                ${PROJECT_BINARY_DIR}/BrivelConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brivel COMPONENT dev)
endif()

# ---- designer: the Qt Designer plugin ---------------------------------------------------------
# The plugin goes where this Qt keeps its plugins, taken relative to Qt's own prefix
# (lib/x86_64-linux-gnu/qt6/plugins/designer on Debian), so that the package puts it
# where Designer looks. Another prefix needs QT_PLUGIN_PATH=<prefix>/<that folder
# without /designer>.
if(TARGET brivel_designer)
  set(BRIVEL_INSTALL_DESIGNERDIR "" CACHE STRING
      "Folder of the Qt Designer plugin, relative to the prefix (empty: as Qt's own)")
  set(designer_dir "${BRIVEL_INSTALL_DESIGNERDIR}")
  if(designer_dir STREQUAL "")
    set(qt_plugins "${CMAKE_INSTALL_LIBDIR}/qt6/plugins")
    if(TARGET Qt6::qmake)
      get_target_property(qmake Qt6::qmake LOCATION)
      execute_process(COMMAND ${qmake} -query QT_INSTALL_PREFIX
                      OUTPUT_VARIABLE qt_prefix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND ${qmake} -query QT_INSTALL_PLUGINS
                      OUTPUT_VARIABLE qt_plugin_path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(IS_ABSOLUTE "${qt_prefix}" AND IS_ABSOLUTE "${qt_plugin_path}")
        file(RELATIVE_PATH qt_plugins "${qt_prefix}" "${qt_plugin_path}")
      endif()
    endif()
    set(designer_dir "${qt_plugins}/designer")
  endif()
  brivel_relative_path(designer_to_lib ${designer_dir} ${CMAKE_INSTALL_LIBDIR})
  set_target_properties(brivel_designer PROPERTIES INSTALL_RPATH "$ORIGIN/${designer_to_lib}")
  install(TARGETS brivel_designer LIBRARY DESTINATION ${designer_dir} COMPONENT designer)
endif()

# ---- the documents of a plain install ------------------------------------------------------------
# (Each Debian package has its own documents instead: cmake/packaging.cmake.)
install(FILES LICENSE CHANGELOG.md docs/embedding.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/brivel COMPONENT doc)
