# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The options every module of kxr.device takes to reach and sign in to a device.
from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  url:
    description:
      - The device's site, C(https://HOST[:PORT][/PATH]), as kxr-cli's C(-u) takes it.
      - When left out, the host's inventory variable C(kxr_url).
    type: str
    required: true
  user:
    description:
      - The user to sign in as (HTTP Basic on every call).
      - When left out, the inventory variable C(kxr_user).
    type: str
    required: true
  password:
    description:
      - The user's password. Never logged.
      - When left out, the inventory variable C(kxr_password), else the environment variable C(KXR_PASSWORD).
    type: str
    required: true
  validate_certs:
    description:
      - Whether the device's certificate must be valid for the URL's host.
      - Turn it off for a first contact only.
      - When left out, the inventory variable C(kxr_validate_certs), else true.
    type: bool
    default: true
  ca_path:
    description:
      - A PEM file of the certificates to trust for the device, such as the device's own certificate.
      - Without it, the controller's store.
      - When left out, the inventory variable C(kxr_ca_path).
    type: path
  timeout:
    description:
      - Seconds to wait for each call's answer. Longer than nginx's 190 s (docs/design.md, Fixed figures and why).
    type: int
    default: 200
notes:
  - "The modules run on the controller (C(connection: local)); nothing is installed on the device."
  - "Every HTTP request signs in anew; a wrong password fails the task with C(sign-in refused by HOST:PORT:
    wrong user name or password for NAME, or a user without a role)."
  - "A call the user's role may not make (a viewer writing) fails with C(access denied: the user NAME may not
    make this call ...), as kxr-cli words it."
'''
