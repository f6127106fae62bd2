#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: kxr_info
short_description: Reads entries and the identity of a device served by KXRWebServer
description:
  - Reads entries of the device's object dictionary by index and sub-index, and the device's identity
    (object 0x1018, sub-indexes 1 to 4), through the device's HTTPS site, in as few calls as the daemon's
    limits allow.
  - Returns them as results that a playbook can register and use in conditions. Changes nothing.
  - An entry that cannot be read fails the task, naming the entry and the meaning of its code.
version_added: 1.0.0
author: the KXRWebServer authors (!UNKNOWN)
extends_documentation_fragment:
  - kxr.device.connection
options:
  entries:
    description:
      - The entries to read, each written as kxr-cli's C(read) takes it, C(INDEX:SUB[:LENGTH][:TYPE]).
      - Numbers are decimal, or hex with C(0x); C(01) or C(100A) without C(0x) are refused as ambiguous.
      - A TYPE (C(u8)...C(u64), C(i8)...C(i64), C(text)) adds the entry's I(value); an integer TYPE without
        LENGTH reads its own width. Without LENGTH a read asks for 1024 bytes.
      - Quote each item, so that YAML keeps it a string.
    type: list
    elements: str
    default: []
  identity:
    description:
      - Whether to read the device's identity too.
    type: bool
    default: true
seealso:
  - module: kxr.device.kxr_entry
  - module: kxr.device.kxr_snapshot
'''

EXAMPLES = r'''
- name: Read the identity and two settings of every device
  kxr.device.kxr_info:
    entries:
      - "0x2000:1:u16"
      - "0x1008:0:text"
  register: device

- name: Act on one product only
  ansible.builtin.debug:
    msg: "cycle time {{ device.entry_values['0x2000:0x01'] }}"
  when: device.identity.product == 1

- name: Sign in with given values instead of the kxr_* inventory variables
  kxr.device.kxr_info:
    url: https://192.0.2.20/
    user: viewer
    password: "{{ vault_viewer_password }}"
    ca_path: certs/device-20.pem
'''

RETURN = r'''
identity:
  description: The device's identity from object 0x1018, as unsigned numbers.
  returned: when identity is true
  type: dict
  contains:
    vendor:
      description: The vendor (maker) code, 0x1018:0x01.
      type: int
      sample: 305419896
    product:
      description: The product code, 0x1018:0x02.
      type: int
      sample: 1
    revision:
      description: The revision number, 0x1018:0x03.
      type: int
      sample: 65541
    serial:
      description: The serial number, 0x1018:0x04.
      type: int
      sample: 3735928559
entries:
  description: One result per entry asked for, in their order, with the fields of kxr-cli C(--json).
  returned: always
  type: list
  elements: dict
  contains:
    entry:
      description: The entry, C(0xINDEX:0xSUB).
      type: str
      sample: "0x2000:0x01"
    index:
      description: The object index.
      type: int
      sample: 8192
    sub:
      description: The sub-index.
      type: int
      sample: 1
    code:
      description: The result code, 0 for success.
      type: int
      sample: 0
    codeHex:
      description: The result code in hex.
      type: str
      sample: "0x00000000"
    meaning:
      description: What the code means, as kxr-cli words it.
      type: str
      sample: Success
    bytes:
      description: The bytes read, in lowercase hex; empty when the entry failed.
      type: str
      sample: "f401"
    value:
      description: The value for the entry's TYPE (a number, or the text up to its zero bytes).
      returned: when a TYPE was given and the entry was read
      type: raw
      sample: 500
entry_values:
  description: The entries read, by C(0xINDEX:0xSUB), each its I(value) when it has one, else its I(bytes).
  returned: always
  type: dict
  sample: {"0x2000:0x01": 500, "0x1008:0x00": "KXR-SIM"}
calls:
  description: The calls made.
  returned: always
  type: int
  sample: 1
'''

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kxr.device.plugins.module_utils.kxr_device import (
    CONNECTION_ARGS, Device, Entry, KxrError, code_meaning, entry_line, parse_read_arg, typed_value)

IDENTITY = ('vendor', 'product', 'revision', 'serial')


def main():
    module = AnsibleModule(argument_spec=dict(CONNECTION_ARGS, entries=dict(type='list', elements='str', default=[]),
                                              identity=dict(type='bool', default=True)),
                           supports_check_mode=True)
    try:
        asked = [parse_read_arg(text) for text in module.params['entries']]
        device = Device(module.params)
        reads = asked + ([Entry(0x1018, sub, 4, 'u32') for sub in range(1, 5)] if module.params['identity'] else [])
        outcomes = device.run(False, reads) if reads else []
    except KxrError as e:
        module.fail_json(msg=str(e))
    results, values = [], {}
    for e, (code, data) in zip(asked, outcomes):
        result = dict(entry=e.name, index=e.index, sub=e.sub, code=code, codeHex='0x%08X' % code,
                      meaning=code_meaning(code), bytes=data.hex() if code == 0 else '')
        if code == 0 and typed_value(e.kind, data) is not None:
            result['value'] = typed_value(e.kind, data)
        if code == 0:
            values[e.name] = result.get('value', result['bytes'])
        results.append(result)
    answer = dict(changed=False, entries=results, entry_values=values, calls=device.calls)
    if module.params['identity']:
        answer['identity'] = dict((key, typed_value('u32', data) if code == 0 else None)
                                  for key, (code, data) in zip(IDENTITY, outcomes[len(asked):]))
    failed = [entry_line(e.name, code) for e, (code, data) in zip(reads, outcomes) if code != 0]
    if failed:
        module.fail_json(msg='%d of %d entries could not be read: %s' % (len(failed), len(reads), '; '.join(failed)),
                         **answer)
    module.exit_json(**answer)


if __name__ == '__main__':
    main()
