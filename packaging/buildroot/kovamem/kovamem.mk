################################################################################
#
# kovamem
#
################################################################################

KOVAMEM_VERSION = 1.0.0
KOVAMEM_SOURCE = kovamem-$(KOVAMEM_VERSION).tar.gz
KOVAMEM_SITE = https://kovamem.example.org/releases
KOVAMEM_LICENSE = unchosen
KOVAMEM_INSTALL_STAGING = YES

# The library needs only libc, pthreads and the compiler runtime; libunwind
# makes host-style traces faster where it is there (MIPS walks frames itself).
KOVAMEM_CONF_OPTS = \
	-DKOVAMEM_TESTS=OFF \
	-DKOVAMEM_BENCH=OFF \
	-DKOVAMEM_DEMO=OFF \
	-DKOVAMEM_VALGRIND=OFF

ifeq ($(BR2_PACKAGE_LIBUNWIND),y)
KOVAMEM_DEPENDENCIES += libunwind
KOVAMEM_CONF_OPTS += -DKOVAMEM_LIBUNWIND=ON
else
KOVAMEM_CONF_OPTS += -DKOVAMEM_LIBUNWIND=OFF
endif

ifeq ($(BR2_PACKAGE_KOVAMEM_TOOLS),)
define KOVAMEM_REMOVE_TOOLS
	rm -f $(TARGET_DIR)/usr/bin/kovamem-run $(TARGET_DIR)/usr/bin/kovamem-analyze
	rm -rf $(TARGET_DIR)/usr/share/kovamem
endef
KOVAMEM_POST_INSTALL_TARGET_HOOKS += KOVAMEM_REMOVE_TOOLS
endif

$(eval $(cmake-package))
