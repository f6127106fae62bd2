# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Runs kxr_info on the controller with the host's kxr_* inventory variables.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.kxr.device.plugins.plugin_utils.kxr_action import KxrAction


class ActionModule(KxrAction):
    pass
