# Debian packages with CPack, one per install component:
#   libkovamem1     the library (SONAME libkovamem.so.1) and the preload library
#   libkovamem-dev  headers, the link name, the CMake package, kovamem.pc
#   kovamem-tools   kovamem-run, kovamem-analyze and their manual pages
# Configure with -DCMAKE_INSTALL_PREFIX=/usr, build, then `cpack -G DEB`
# (tests/packaging/deb.sh does, and installs and uses them).
set(kovamem_deb_version ${PROJECT_VERSION})
set(kovamem_doc_packages lib:libkovamem1 dev:libkovamem-dev tools:kovamem-tools)
# Each package's copyright and changelog, as Debian's policy asks.
set(kovamem_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
if(Python3_FOUND)
  add_custom_command(OUTPUT ${kovamem_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND ${Python3_EXECUTABLE} -c
      "import gzip,sys; open(sys.argv[2],'wb').write(gzip.compress(open(sys.argv[1],'rb').read(),9,mtime=0))"
      ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${kovamem_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
  add_custom_target(kovamem_changelog ALL DEPENDS ${kovamem_changelog})
  foreach(pair ${kovamem_doc_packages})
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${kovamem_changelog}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kovamem)
set(CPACK_PACKAGE_VERSION ${kovamem_deb_version})
set(CPACK_PACKAGE_VENDOR "The KovaMem developers")
set(CPACK_PACKAGE_CONTACT "KovaMem developers <kovamem@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkovamem1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
# Its own shlibs and an ldconfig trigger (rather than CPack's maintainer
# scripts that call ldconfig), as Debian's policy asks of a library package.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/shlibs @ONLY)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/shlibs ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENT_LIB_DESCRIPTION "fixed-block pool memory manager with built-in debugging
KovaMem serves a host's allocations from pools of fourteen fixed block
sizes, with a guard word behind every block, quarantine of damaged blocks,
the call chain of every live block and a size-capped log under /tmp.
.
This package holds the shared library and the preload library that puts
unmodified programs on the pools.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkovamem-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkovamem1 (= ${kovamem_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "fixed-block pool memory manager with built-in debugging (development files)
KovaMem serves a host's allocations from pools of fourteen fixed block
sizes, with guards, quarantine, per-block call chains and a log.
.
This package holds the headers (C and C++), the CMake package
(find_package(KovaMem)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kovamem-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkovamem1 (>= ${kovamem_deb_version}), python3")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "run programs on KovaMem's pools and analyse its logs
kovamem-run preloads KovaMem's pools into an unmodified program;
kovamem-analyze turns KovaMem's logs into named answers: guard damage,
invalid releases, leak suspects, growth, with HTML, folded-stack and pprof
output.")
include(CPack)
