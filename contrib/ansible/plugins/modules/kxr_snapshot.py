#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: kxr_snapshot
short_description: Saves a device's configuration to a snapshot file on the controller, or restores one
description:
  - C(state=saved) reads every entry of the device's dictionary and writes the snapshot file that
    C(kxr-cli save) and the device pages write, byte for byte the same for the same device and time.
    A file that holds the same values already is kept as it is (C(changed=false)); its C(taken) stays.
  - C(state=restored) checks the whole file against the device's dictionary first (the rules kxr-cli and the
    pages follow; a fault names each faulty record and nothing is read or written), reads the device, writes
    the writable entries that differ and reads them back, as C(kxr-cli restore) does. A restore that would
    change nothing reports C(changed=false).
  - Check mode is the dry run; diff mode shows the file (saved) or each entry to change (restored).
  - The dictionary is the device's C(/dictionary.json), or the file I(dictionary).
version_added: 1.0.0
author: the KXRWebServer authors (!UNKNOWN)
extends_documentation_fragment:
  - kxr.device.connection
options:
  state:
    description:
      - C(saved) writes the device's configuration to I(path); C(restored) puts the values of I(path) back.
    type: str
    choices: [saved, restored]
    required: true
  path:
    description:
      - The snapshot file on the controller. A relative path is taken from the playbook's directory.
      - A new file is made with mode 0600 (a configuration can hold secrets), as is one of another user; one of
        the user's own keeps its mode, less write for group and others, as with C(kxr-cli save). It is written
        through a temporary file beside it, renamed over it once complete.
    type: path
    required: true
  partial:
    description:
      - When some entries cannot be read, save the others with the codes of those that failed, the file
        marked partial, and warn. Without it such a save writes nothing and fails, listing every entry that
        failed, as C(kxr-cli save) without C(--partial) does.
    type: bool
    default: false
  dictionary:
    description:
      - A dictionary file on the controller to use instead of the device's C(/dictionary.json).
    type: path
attributes:
  check_mode:
    description: Reads the device and reports what would be written; writes neither the file nor the device.
    support: full
  diff_mode:
    description: The file before and after (saved); each entry to change, old and new (restored).
    support: full
seealso:
  - module: kxr.device.kxr_entry
'''

EXAMPLES = r'''
- name: Save every device before the repair
  kxr.device.kxr_snapshot:
    state: saved
    path: "snapshots/{{ inventory_hostname }}.json"

- name: Put the values back, on the same device or its replacement
  kxr.device.kxr_snapshot:
    state: restored
    path: "snapshots/{{ inventory_hostname }}.json"
'''

RETURN = r'''
path:
  description: The snapshot file.
  returned: always
  type: str
  sample: /srv/ansible/snapshots/press-7.json
entries:
  description: The entries saved.
  returned: when state is saved
  type: int
  sample: 16
failed_entries:
  description: The entries that could not be read, one line each as kxr-cli words it.
  returned: when state is saved
  type: list
  elements: str
  sample: ["0x7777:0x01  0xECA60301 No such object or sub-index"]
counts:
  description: How many records of the file are to be changed, unchanged, read-only and different, unknown
    to the device, and skipped (not read at save).
  returned: when state is restored
  type: dict
  sample: {"change": 1, "unchanged": 15, "read-only": 0, "unknown": 0, "skipped": 0}
plan:
  description: Each record of the file with its action (change, unchanged, read-only, unknown, skipped) and,
    for changes and read-only entries that differ, the old and new value.
  returned: when state is restored
  type: list
  elements: dict
  sample: [{"entry": "0x2000:0x01", "name": "Settings: cycle time", "action": "change", "old": "500", "new": "0"}]
report:
  description: One line per entry that was to change, C(written and verified), C(write failed) or
    C(verify mismatch) with the reason.
  returned: when state is restored and not in check mode
  type: list
  elements: str
  sample: ["0x2000:0x01  written and verified"]
calls:
  description: The calls made (restored, by kind, C(read), C(write), C(verify)).
  returned: always
  type: raw
  sample: {"read": 1, "write": 1, "verify": 1}
'''

import os
import re
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_text

from ansible_collections.kxr.device.plugins.module_utils.kxr_device import (
    CONNECTION_ARGS, Device, Entry, KxrError, code_text, entry_line, split_batches)
from ansible_collections.kxr.device.plugins.module_utils.kxr_snapshot import (
    SnapshotError, parse_dictionary, parse_snapshot, plan_action, shown, snapshot_text, taken_now)

TAKEN = re.compile(r'^  "taken": .*$', re.M)


def load(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except (IOError, OSError) as e:
        raise KxrError('cannot read %s: %s' % (path, e.strerror))


def dictionary_of(device, path):
    if path:
        text, source = load(path), path
    else:
        source = 'https://%s%s/dictionary.json' % (device.peer, device.base)
        try:
            text = device.get('/dictionary.json')
        except KxrError as e:
            if e.status == 404:
                raise KxrError('no dictionary at %s (HTTP status 404): name one with dictionary' % source)
            raise KxrError('%s (the dictionary)' % e)
    try:
        return parse_dictionary(text)
    except SnapshotError as e:
        raise KxrError('dictionary %s: %s' % (source, e))


def write_file(path, text):
    """Through a temporary file beside path, on disk before the rename. 0600 when new or another user's (a mode
    chosen by someone else is not taken over); the caller's own keeps its mode, less write for group and others."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(prefix='.%s.' % os.path.basename(path), dir=folder)
    except OSError as e:
        raise KxrError('cannot write %s: %s' % (path, e.strerror))
    try:
        if os.path.exists(path) and os.stat(path).st_uid == os.geteuid():
            os.fchmod(fd, os.stat(path).st_mode & 0o755)
        os.write(fd, to_bytes(text))
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.rename(temp, path)
        folder_fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(folder_fd)
        finally:
            os.close(folder_fd)
    except OSError as e:
        if fd >= 0:
            os.close(fd)
        if os.path.exists(temp):
            os.unlink(temp)
        raise KxrError('cannot write %s: %s' % (path, e.strerror))


def save(module, device, path):
    dictionary = dictionary_of(device, module.params['dictionary'])
    outcomes = device.read_sized(dictionary)
    failed = [entry_line('0x%04X:0x%02X' % (e.index, e.sub), code) for e, (code, data) in zip(dictionary, outcomes)
              if code]
    answer = dict(path=path, entries=len(dictionary), failed_entries=failed, calls=device.calls)
    if failed and not module.params['partial']:
        module.fail_json(msg='%d of %d entries could not be read: nothing written (partial: true writes them with '
                             'their codes): %s' % (len(failed), len(dictionary), '; '.join(failed)), **answer)
    text = snapshot_text(dictionary, outcomes, taken_now())
    old = to_text(load(path)) if os.path.exists(path) else ''
    # The same values taken at another time are the same configuration: the file stays.
    changed = TAKEN.sub('', old) != TAKEN.sub('', text)
    if changed and not module.check_mode:
        write_file(path, text)
    if failed:
        module.warn('%s: %d entries could not be read, saved with their codes and marked partial: %s'
                    % (path, len(failed), '; '.join(failed)))
    if module._diff:
        answer['diff'] = dict(before_header=path, after_header=path, before=old, after=text if changed else old)
    module.exit_json(changed=changed, **answer)


def restore(module, device, path):
    snapshot = load(path)
    dictionary = dictionary_of(device, module.params['dictionary'])
    try:
        records = parse_snapshot(snapshot, dictionary)
    except SnapshotError as e:
        module.fail_json(msg='; '.join('%s: %s' % (path, f) for f in e.faults), faults=e.faults)
    # What restore reads and writes must fit the calls; known before anything is read.
    known = [r for r in records if r.raw is not None and r.entry is not None]
    try:
        split_batches(False, [r.entry for r in known])
        split_batches(True, [Entry(r.index, r.sub, len(r.raw), data=r.raw) for r in known if r.entry.writable])
    except KxrError as e:
        raise KxrError('%s: %s' % (path, e))
    current = dict(zip(known, device.read_sized([r.entry for r in known])))
    calls = dict(read=device.calls, write=0, verify=0)
    plan, counts, changes = [], dict((a, 0) for a in ('change', 'unchanged', 'read-only', 'unknown', 'skipped')), []
    for r in records:
        action = plan_action(r, current.get(r, (0, b'')))
        counts[action] += 1
        step = dict(entry='0x%04X:0x%02X' % (r.index, r.sub), name=r.entry.name if r.entry else r.name, action=action)
        if action in ('change', 'read-only'):
            code, data = current[r]
            step.update(old=shown(r.entry.kind, data) if code == 0 else '(%s)' % code_text(code),
                        new=shown(r.entry.kind, r.raw))
        if action == 'change':
            changes.append((r, step))
        plan.append(step)
    answer = dict(path=path, counts=counts, plan=plan, calls=calls)
    if counts['change'] + counts['unchanged'] + counts['read-only'] == 0:
        module.fail_json(msg='%s: nothing can be restored: %d records not read at save, %d unknown to the device'
                             % (path, counts['skipped'], counts['unknown']), **answer)
    if module._diff:
        answer['diff'] = dict(before=''.join('%s %s: %s\n' % (s['entry'], s['name'], s['old']) for r, s in changes),
                              after=''.join('%s %s: %s\n' % (s['entry'], s['name'], s['new']) for r, s in changes))
    if not changes or module.check_mode:
        module.exit_json(changed=bool(changes), **answer)
    writes = [Entry(r.index, r.sub, len(r.raw), data=r.raw) for r, s in changes]
    try:
        written = device.run(True, writes)
    except KxrError as e:
        calls['write'] = device.calls - calls['read']
        if e.refused and calls['write'] == 1:  # the first call turned down: nothing written
            module.fail_json(msg=str(e), changed=False, **answer)
        module.fail_json(msg='%s; the restore stopped with some entries perhaps written: run it again' % e,
                         changed=True, **answer)
    calls['write'] = device.calls - calls['read']
    done = [r for (r, s), (code, data) in zip(changes, written) if code == 0]
    try:
        back = dict(zip(done, device.read_sized([r.entry for r in done]) if done else []))
    except KxrError as e:
        module.fail_json(msg='%s; the entries are written but not verified' % e, changed=True, **answer)
    calls['verify'] = device.calls - calls['read'] - calls['write']
    report, ok = [], True
    for (r, s), (code, data) in zip(changes, written):
        name = '0x%04X:0x%02X  ' % (r.index, r.sub)
        if code:
            report.append(name + 'write failed: ' + code_text(code))
        elif back[r][0]:
            report.append(name + 'verify mismatch: read back failed: ' + code_text(back[r][0]))
        elif back[r][1] != r.raw:
            report.append(name + 'verify mismatch: the device holds %s, the file %s'
                          % (shown(r.entry.kind, back[r][1]), shown(r.entry.kind, r.raw)))
        else:
            report.append(name + 'written and verified')
            continue
        ok = False
    answer['report'] = report
    if not ok:
        module.fail_json(msg='; '.join(line for line in report if not line.endswith('verified')), changed=True, **answer)
    module.exit_json(changed=True, **answer)


def main():
    module = AnsibleModule(argument_spec=dict(CONNECTION_ARGS, state=dict(type='str', required=True,
                                                                          choices=['saved', 'restored']),
                                              path=dict(type='path', required=True),
                                              partial=dict(type='bool', default=False),
                                              dictionary=dict(type='path')),
                           supports_check_mode=True)
    try:
        device = Device(module.params)
        (save if module.params['state'] == 'saved' else restore)(module, device, module.params['path'])
    except KxrError as e:
        module.fail_json(msg=str(e))


if __name__ == '__main__':
    main()
