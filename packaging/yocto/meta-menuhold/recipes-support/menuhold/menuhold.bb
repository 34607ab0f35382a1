# SPDX-License-Identifier: MIT
SUMMARY = "Menuhold product file service"
DESCRIPTION = "Takes the product files that the device's web back end uploads, keeps the \
newest version of each and publishes them as a product table in /tmp/json_history.json."
SECTION = "console/network"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=274061d6df72584335b9d16eea356389"

DEPENDS = "cjson zlib"

# Built from the source tree this layer lives in (no fetch); where the layer is used
# from a copy, set EXTERNALSRC:pn-menuhold in local.conf. The version is the one in
# that tree's CMakeLists.txt.
inherit externalsrc cmake systemd update-rc.d
EXTERNALSRC := "${@os.path.normpath('${THISDIR}/../../../../..')}"
PV = "${@menuhold_version(d)}"

def menuhold_version(d):
    import re
    with open(os.path.join(d.getVar('EXTERNALSRC'), 'CMakeLists.txt')) as f:
        return re.search(r'^project\(menuhold VERSION ([0-9.]+)', f.read(), re.M).group(1)

EXTRA_OECMAKE = "-DBUILD_TESTING=OFF -DMENUHOLD_INIT_SCRIPT=menuhold -DMENUHOLD_SYSTEMD_UNITDIR=${systemd_system_unitdir}"

INITSCRIPT_NAME = "menuhold"
INITSCRIPT_PARAMS = "defaults 50"
SYSTEMD_SERVICE:${PN} = "menuhold.service"
