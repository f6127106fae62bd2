#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: kxr_entry
short_description: Makes entries of a device served by KXRWebServer hold given values
description:
  - Reads the entries first, writes only those that differ, in as few calls as the daemon's limits allow
    (300 entries, a 1 MiB read area and a 1 MiB request per call), and reads the written ones back.
  - Reports C(changed) only when it wrote. In check mode it writes nothing and reports what would change;
    in diff mode it shows each entry's value before and after.
  - An entry that cannot be read (no such entry, or a value of another size than the entry's), a write the
    device refuses (a read-only entry, a viewer's write) and a value read back that differs fail the task,
    each named with the meaning of its code as kxr-cli words it.
version_added: 1.0.0
author: the KXRWebServer authors (!UNKNOWN)
extends_documentation_fragment:
  - kxr.device.connection
options:
  entries:
    description:
      - The entries and their values, each written as kxr-cli's C(write) takes it, C(INDEX:SUB=VALUE), with
        the same rules and the same errors.
      - VALUE carries its type; C(hex:BYTES) (C(hex:3412); spaces or C(:) between pairs), C(text:TEXT) (the
        bytes of the text), C(u8:)...C(u64:) and C(i8:)...C(i64:) (little-endian integers, decimal or C(0x);
        C(u16:0x1234) writes C(34 12)).
      - The value must have the entry's size. Each entry once.
      - Quote each item, so that YAML keeps it a string.
    type: list
    elements: str
    required: true
attributes:
  check_mode:
    description: Reads the entries and reports what would change; writes nothing.
    support: full
  diff_mode:
    description: Shows each entry's value before and after, in the type of the value given.
    support: full
seealso:
  - module: kxr.device.kxr_info
  - module: kxr.device.kxr_snapshot
'''

EXAMPLES = r'''
- name: Same cycle time and timeout on every device
  kxr.device.kxr_entry:
    entries:
      - "0x2000:1=u16:500"
      - "0x2000:2=u32:0x2710"

- name: A scratch area as bytes
  kxr.device.kxr_entry:
    entries:
      - "0x2100:0=hex:01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10"
'''

RETURN = r'''
entries:
  description: One result per entry, in the order given.
  returned: always
  type: list
  elements: dict
  contains:
    entry:
      description: The entry, C(0xINDEX:0xSUB).
      type: str
      sample: "0x2000:0x01"
    before:
      description: The value it held, in the type of the value given.
      type: str
      sample: "u16:0"
    after:
      description: The value it holds now (in check mode, would hold).
      type: str
      sample: "u16:500"
    changed:
      description: Whether it was written (in check mode, would be).
      type: bool
      sample: true
calls:
  description: The calls made, by kind (C(read) the values before, C(write), C(verify) the read back).
  returned: always
  type: dict
  sample: {"read": 1, "write": 1, "verify": 1}
'''

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kxr.device.plugins.module_utils.kxr_device import (
    CONNECTION_ARGS, Device, KxrError, code_text, integer_width, parse_write_arg)


def shown(kind, data):
    """Bytes written as the value given was: integers in its type, text as text when printable, else hex."""
    width = integer_width(kind)
    if width and len(data) == width:
        return '%s:%d' % (kind, int.from_bytes(data, 'little', signed=kind[0] == 'i'))
    if kind == 'text' and all(0x20 <= b < 0x7F for b in data):
        return 'text:' + data.decode('ascii')
    return 'hex:' + data.hex()


def main():
    module = AnsibleModule(argument_spec=dict(CONNECTION_ARGS, entries=dict(type='list', elements='str', required=True)),
                           supports_check_mode=True)
    try:
        wanted = [parse_write_arg(text) for text in module.params['entries']]
        for text, e in zip(module.params['entries'], wanted):
            e.kind = text.partition('=')[2].partition(':')[0]
        names = [e.name for e in wanted]
        twice = sorted(set(n for n in names if names.count(n) > 1))
        if twice:
            raise KxrError('each entry once: %s given twice' % ', '.join(twice))
        device = Device(module.params)
        before = device.read_sized(wanted)
    except KxrError as e:
        module.fail_json(msg=str(e))
    calls = dict(read=device.calls, write=0, verify=0)
    unreadable = ['%s: cannot read it: %s' % (e.name, code_text(code)) for e, (code, data) in zip(wanted, before) if code]
    if unreadable:
        module.fail_json(msg='; '.join(unreadable), calls=calls)
    changes = [e for e, (code, data) in zip(wanted, before) if data != e.data]
    results = [dict(entry=e.name, before=shown(e.kind, data), after=shown(e.kind, e.data), changed=e in changes)
               for e, (code, data) in zip(wanted, before)]
    answer = dict(changed=bool(changes), entries=results, calls=calls)
    if module._diff:
        answer['diff'] = dict(before=''.join('%s = %s\n' % (r['entry'], r['before']) for r in results),
                              after=''.join('%s = %s\n' % (r['entry'], r['after']) for r in results))
    if not changes or module.check_mode:
        module.exit_json(**answer)
    try:
        written = device.run(True, changes)
    except KxrError as e:
        calls['write'] = device.calls - calls['read']
        if e.refused and calls['write'] == 1:  # the first call turned down: nothing written
            answer['changed'] = False
            module.fail_json(msg=str(e), **answer)
        module.fail_json(msg='%s; the task stopped with some entries perhaps written: run it again' % e, **answer)
    calls['write'] = device.calls - calls['read']
    faults = ['%s: write failed: %s' % (e.name, code_text(code)) for e, (code, data) in zip(changes, written) if code]
    done = [e for e, (code, data) in zip(changes, written) if code == 0]
    try:
        back = device.read_sized(done) if done else []
    except KxrError as e:
        module.fail_json(msg='%s; the entries are written but not verified' % e, **answer)
    calls['verify'] = device.calls - calls['read'] - calls['write']
    for e, (code, data) in zip(done, back):
        if code:
            faults.append('%s: verify mismatch: read back failed: %s' % (e.name, code_text(code)))
        elif data != e.data:
            faults.append('%s: verify mismatch: the device holds %s, the task %s'
                          % (e.name, shown(e.kind, data), shown(e.kind, e.data)))
    if faults:
        module.fail_json(msg='; '.join(faults), **answer)
    module.exit_json(**answer)


if __name__ == '__main__':
    main()
