# SPDX-License-Identifier: MIT
################################################################################
#
# menuhold
#
################################################################################

# Built from the source tree this external tree lives in; the version is the one in
# its CMakeLists.txt.
MENUHOLD_SITE = $(BR2_EXTERNAL_MENUHOLD_PATH)/../..
MENUHOLD_SITE_METHOD = local
MENUHOLD_VERSION = $(shell sed -n 's/^project.menuhold VERSION \([0-9.]*\).*/\1/p' $(MENUHOLD_SITE)/CMakeLists.txt)
MENUHOLD_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude '/build*' --exclude /dist --exclude node_modules
MENUHOLD_LICENSE = MIT
MENUHOLD_LICENSE_FILES = LICENSE
MENUHOLD_DEPENDENCIES = cjson zlib

# The source installs /etc/init.d/S50menuhold, which BusyBox and SysV init run, and a
# systemd unit: only the one for the init system chosen.
ifeq ($(BR2_INIT_SYSTEMD),y)
MENUHOLD_CONF_OPTS = -DMENUHOLD_INIT_SCRIPT=
else
MENUHOLD_CONF_OPTS = -DMENUHOLD_SYSTEMD_UNITDIR=
endif

$(eval $(cmake-package))
