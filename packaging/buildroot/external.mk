# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_MENUHOLD_PATH)/package/*/*.mk))
