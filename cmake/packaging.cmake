# `make package`: the Debian packages of the build, one per install component, split
# as Debian splits a library and its programs (docs/packaging.md):
#
#   libbrivelocx0           library   the shared library Brivelocx (soname libBrivelocx.so.0)
#   libbrivelocx-dev        dev       headers, the CMake package, the libBrivelocx.so link
#   brivel-tools            tools     brivelctl, brivel-sim, brivel-demo, the udev rule
#   brivel-designer-plugin  designer  the Brivel widget in Qt Designer
#   python3-brivel          python    import brivel
#
# CPack makes them from the build folder (`cpack --config build/CPackConfig.cmake`),
# so a package takes seconds, not a second build. Each package gets its own
# /usr/share/doc/<package>/ with a machine-readable copyright file and a
# changelog.Debian.gz; those rules are EXCLUDE_FROM_ALL, so `cmake --install` leaves
# them out (a plain install keeps share/doc/brivel).

set(BRIVEL_PACKAGE_MAINTAINER "Brivel maintainers <maintainers@brivel.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(BRIVEL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages (the -N of 0.2.0-N)")
set(brivel_deb_version "${PROJECT_VERSION}-${BRIVEL_PACKAGE_RELEASE}")

# Which components become packages: those whose programs this build has.
set(brivel_components tools)
set(brivel_packaged_targets brivel-sim)
foreach(target brivelctl brivel-demo brivel_manuals)
  if(TARGET ${target})
    list(APPEND brivel_packaged_targets ${target})
  endif()
endforeach()
if(TARGET Brivelocx)
  list(PREPEND brivel_components library dev)
  list(APPEND brivel_packaged_targets Brivelocx)
endif()
if(TARGET brivel_designer)
  list(APPEND brivel_components designer)
  list(APPEND brivel_packaged_targets brivel_designer)
endif()
if(TARGET brivel_python)
  list(APPEND brivel_components python)
  list(APPEND brivel_packaged_targets brivel_python)
endif()
# `packaged`: everything the packages hold (make package builds it, then runs CPack).
add_custom_target(packaged)
add_dependencies(packaged ${brivel_packaged_targets})

set(brivel_package_of_library libbrivelocx0)
set(brivel_package_of_dev libbrivelocx-dev)
set(brivel_package_of_tools brivel-tools)
set(brivel_package_of_designer brivel-designer-plugin)
set(brivel_package_of_python python3-brivel)

# ---- the Python package, where Debian's python3 looks for it ------------------------------
# python/ installs the package brivel/ for `cmake --install` into
# lib/python3.X/dist-packages (right for /usr/local); a package for /usr puts it in
# /usr/lib/python3/dist-packages: the compiled brivel/_brivel*.so next to the rest of
# python/brivel/ (__init__.py, the pure-Python modules, the stubs, py.typed).
if(TARGET brivel_python)
  install(TARGETS brivel_python LIBRARY DESTINATION lib/python3/dist-packages/brivel
          COMPONENT python EXCLUDE_FROM_ALL)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/brivel/ DESTINATION lib/python3/dist-packages/brivel
          COMPONENT python EXCLUDE_FROM_ALL PATTERN "__pycache__" EXCLUDE)
endif()

# ---- each package's documents: copyright and changelog.Debian.gz ------------------------
# The copyright file in Debian's machine-readable format, from LICENSE (the MIT
# licence, which Debian calls Expat).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license_text}")
set(copyright_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^[^\n]*\n\nCopyright[^\n]*\n\n" "" license_body "${license_text}")
string(STRIP "${license_body}" license_body)
string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " license_body "${license_body}")
set(deb_dir ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${deb_dir}/copyright.in
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Brivel
Upstream-Contact: ${BRIVEL_PACKAGE_MAINTAINER}
Comment: Brivel is released under the MIT licence, which Debian names Expat.

Files: *
Copyright: ${copyright_holder}
License: Expat

License: Expat
 ${license_body}
")
configure_file(${deb_dir}/copyright.in ${deb_dir}/copyright COPYONLY)

# One changelog entry for this version. Its date is the build's (SOURCE_DATE_EPOCH
# when set), in the form Debian's changelogs use; gzip -n keeps no time stamp.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS brivel_components)
  set(package ${brivel_package_of_${component}})
  file(WRITE ${deb_dir}/${package}/changelog.Debian
"brivel (${brivel_deb_version}) unstable; urgency=medium

  * Brivel ${PROJECT_VERSION}, packaged from its own build. What changed in the
    release is in the project's CHANGELOG.md.

 -- ${BRIVEL_PACKAGE_MAINTAINER}  ${changelog_date}
")
  execute_process(COMMAND gzip -9nc ${deb_dir}/${package}/changelog.Debian
                  OUTPUT_FILE ${deb_dir}/${package}/changelog.Debian.gz
                  RESULT_VARIABLE gzip_failed)
  if(gzip_failed)
    message(FATAL_ERROR "gzip could not compress ${deb_dir}/${package}/changelog.Debian")
  endif()
  install(FILES ${deb_dir}/copyright ${deb_dir}/${package}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  # lintian asks a first Debian revision (-1) to close the archive's "intent to
  # package" bug; these packages are the project's own and have none to close.
  file(WRITE ${deb_dir}/${package}/lintian-overrides
"# Made by the Brivel project, not uploaded to Debian: there is no Debian bug
# (intent to package) for a first revision to close.
${package}: initial-upload-closes-no-bugs
")
  install(FILES ${deb_dir}/${package}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/embedding.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${brivel_package_of_dev}
        COMPONENT dev EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/brivelctl.md ${PROJECT_SOURCE_DIR}/sim/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${brivel_package_of_tools}
        COMPONENT tools EXCLUDE_FROM_ALL)

# The library's dpkg trigger: the loader's cache is brought up to date once after
# every package of a run is unpacked (no ldconfig in a maintainer script).
file(WRITE ${deb_dir}/library/triggers "activate-noawait ldconfig\n")

# ---- CPack ---------------------------------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "brivel")
set(CPACK_PACKAGE_VENDOR "Brivel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Grating monochromator control for Qt hosts")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${brivel_components})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRIVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${BRIVEL_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_SOURCE "brivel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Run-time dependencies (Qt, the C and C++ libraries) are read from the binaries.
# Brivelocx belongs to no installed package while its packages are made, so
# dpkg-shlibdeps finds it in the build folder and the packages that link it depend
# on libbrivelocx0 through the component dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src/qt")

foreach(component IN LISTS brivel_components)
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${brivel_package_of_${component}})
  set(CPACK_COMPONENT_${C}_DISPLAY_NAME ${brivel_package_of_${component}})
endforeach()

# libbrivelocx0: the shlibs file names it for libBrivelocx.so.0 at this version or
# later; an incompatible change of the library's interface raises the soname (and
# so the package's name).
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_MULTIARCH "same")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack (3.25) also writes a postinst and a postrm that call ldconfig for a package
# with a library in /usr/lib, unless the control extras name a postinst and a postrm.
# Those named here do not exist: CPack then writes neither and adds nothing, and the
# trigger alone does the work (lintian: maintscript-calls-ldconfig otherwise).
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA "${deb_dir}/library/triggers"
    "${deb_dir}/library/none/postinst" "${deb_dir}/library/none/postrm")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"grating monochromator control for Qt hosts (library)
Brivel operates a grating monochromator and its optional filter wheel through
the instrument's motion controller on a serial line. This package holds the
shared library Brivelocx: the Brivel Qt widget that a host application embeds,
with its run and parameter panels and its English and Chinese messages.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel")
set(CPACK_COMPONENT_DEV_DEPENDS library)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"grating monochromator control for Qt hosts (development files)
Brivel operates a grating monochromator and its optional filter wheel through
the instrument's motion controller on a serial line. This package holds what a
host is built with: the headers of the Brivel widget and of the serial traffic
log, the CMake package (find_package(Brivel), target Brivel::Brivelocx) and the
link to the shared library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "science")
if(TARGET Brivelocx)
  set(CPACK_COMPONENT_TOOLS_DEPENDS library)
endif()
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"grating monochromator control from a shell, simulator and demo
Brivel operates a grating monochromator and its optional filter wheel through
the instrument's motion controller on a serial line. This package holds
brivelctl, the control on the command line (finding the instrument's port,
scripting it, logging the serial traffic), brivel-sim, a simulated controller
on a pseudo-terminal for trying everything without an instrument, and
brivel-demo, a window that hosts the Brivel widget. A udev rule lets the
dialout group and the user at the machine open the common USB serial
adapters.")

set(CPACK_DEBIAN_DESIGNER_PACKAGE_SECTION "devel")
set(CPACK_COMPONENT_DESIGNER_DEPENDS library)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_RECOMMENDS "qt6-tools-dev-tools")
set(CPACK_DEBIAN_DESIGNER_DESCRIPTION
"grating monochromator control for Qt hosts (Qt Designer plugin)
Brivel operates a grating monochromator and its optional filter wheel through
the instrument's motion controller on a serial line. This package puts the
Brivel widget into Qt Designer's widget box, so that a host's window can be
drawn as a form holding it.")

if(TARGET brivel_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION "python")
  # The module is built for one version of the interpreter (python/ found it).
  execute_process(COMMAND ${Python_EXECUTABLE} -c "import sys; print('%d;%d' % sys.version_info[:2])"
                  OUTPUT_VARIABLE python_version OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(GET python_version 0 python_major)
  list(GET python_version 1 python_minor)
  math(EXPR python_next "${python_minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${python_major}.${python_minor}~), python3 (<< ${python_major}.${python_next})")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"grating monochromator control for Python scripts
Brivel operates a grating monochromator and its optional filter wheel through
the instrument's motion controller on a serial line. This package holds the
Python 3 module brivel: connect, move and scan the monochromator from a
script, with a simulated controller for trying it without an instrument.")
endif()

include(CPack)
