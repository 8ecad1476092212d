SUMMARY = "Fixed-block pool memory manager with built-in debugging"
DESCRIPTION = "Pools of fourteen fixed block sizes with guard words, quarantine \
of damaged blocks, per-block call chains and a size-capped log under /tmp; a \
preload library that puts unmodified programs on the pools; kovamem-run and \
kovamem-analyze."
HOMEPAGE = "https://kovamem.example.org/"
SECTION = "devel"
LICENSE = "CLOSED"

SRC_URI = "https://kovamem.example.org/releases/kovamem-${PV}.tar.gz \
           file://run-ptest"
SRC_URI[sha256sum] = "0000000000000000000000000000000000000000000000000000000000000000"

inherit cmake pkgconfig ptest

EXTRA_OECMAKE = "-DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF -DKOVAMEM_DEMO=OFF -DKOVAMEM_VALGRIND=OFF \
                 ${@bb.utils.contains('DISTRO_FEATURES', 'libunwind', '-DKOVAMEM_LIBUNWIND=ON', '-DKOVAMEM_LIBUNWIND=OFF', d)}"

PACKAGES =+ "${PN}-preload ${PN}-tools"
FILES:${PN} = "${libdir}/libkovamem.so.*"
FILES:${PN}-preload = "${libdir}/libkovamem-preload.so"
FILES:${PN}-tools = "${bindir}/kovamem-run ${bindir}/kovamem-analyze ${datadir}/kovamem ${mandir}"
RDEPENDS:${PN}-tools = "${PN}-preload python3-core python3-json python3-compression"
# The preload library is loaded by path (LD_PRELOAD), not linked: no SONAME.
INSANE_SKIP:${PN}-preload = "dev-so"

RDEPENDS:${PN}-ptest = "${PN}-tools"

do_install_ptest() {
    install -m 0755 ${WORKDIR}/run-ptest ${D}${PTEST_PATH}/run-ptest
}
