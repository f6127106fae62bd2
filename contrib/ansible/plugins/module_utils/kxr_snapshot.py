# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The device's dictionary and the snapshot file, read and written by the rules
# that kxr-cli and the device pages follow (tests/support/snapshot/records.json
# holds all three readers to them): the same faults in the same words, and a
# file byte for byte the one kxr-cli writes for the same device and time.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import binascii
import json
import re
import time

from ansible_collections.kxr.device.plugins.module_utils.kxr_device import (
    MAX_ENTRY_LENGTH, READ_RECORD_SIZE, KxrError, entry_name, integer_width)
from ansible_collections.kxr.device.plugins.module_utils import kxr_codes

FORMAT, VERSION = 'kxr-snapshot', 1
BLANKS = ' \t\r\n\f\v'
INT64_MAX = (1 << 63) - 1
PAIRS_WANTED = 'hex byte pairs such as 12 AB, or HH*N'
TYPES = ('u8', 'u16', 'u32', 'u64', 'i8', 'i16', 'i32', 'i64', 'text', 'bytes')


class SnapshotError(KxrError):
    """A file refused before anything is read or written; faults: one line each."""

    def __init__(self, faults):
        super(SnapshotError, self).__init__('; '.join(faults))
        self.faults = faults


class DictEntry:
    def __init__(self, index, sub, name, kind, size, writable):
        self.index, self.sub, self.name, self.kind, self.size, self.writable = index, sub, name, kind, size, writable

    @property
    def length(self):  # what a read asks for
        return self.size


def _reject_constant(name):
    raise ValueError('%s is not a number' % name)


def _parse_json(text):
    try:
        if isinstance(text, bytes):
            text = text.decode('utf-8')
        return json.loads(text, parse_constant=_reject_constant)
    except ValueError as e:  # JSONDecodeError and UnicodeDecodeError are ValueErrors
        raise SnapshotError(['not JSON: %s' % e])


def _hex_field(value, digits):
    """The number of "0x" and 1 to digits hex digits; None when it is not one ("0X" neither)."""
    if not isinstance(value, str) or not 3 <= len(value) <= 2 + digits or value[:2] != '0x':
        return None
    return _hex_bytes_value(value[2:])


def _hex_bytes_value(text):
    return int(text, 16) if all(c in '0123456789abcdefABCDEF' for c in text) else None


def _decode_raw(text):
    if not isinstance(text, str) or len(text) % 2 or _hex_bytes_value(text or '0') is None:
        return None
    return binascii.unhexlify(text)


def _integer_field(obj, key, least, most):
    """A whole number in [least, most] at key (1.0 is 1, as a page's JSON.parse reads it); None otherwise."""
    value = obj.get(key)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    if isinstance(value, float):
        if not (abs(value) < 2.0 ** 62 and value == int(value)):
            return None
        value = int(value)
    elif not -INT64_MAX - 1 <= value <= INT64_MAX:
        return None
    return value if least <= value <= most else None


def parse_dictionary(text):
    """The entries of a dictionary document; SnapshotError at the first fault."""
    doc = _parse_json(text)
    if not isinstance(doc, list):
        raise SnapshotError(['not a list [ ... ] of entries'])
    largest = MAX_ENTRY_LENGTH - READ_RECORD_SIZE  # an entry fits one call on its own
    entries, seen = [], set()
    for n, e in enumerate(doc, 1):
        where = 'entry %d: ' % n
        e = e if isinstance(e, dict) else {}
        index, sub = _hex_field(e.get('index'), 4), _hex_field(e.get('sub'), 2)
        if index is None or sub is None:
            raise SnapshotError([where + '"index" and "sub" are "0x" and 4 or 2 hex digits'])
        kind, size = e.get('type'), _integer_field(e, 'size', 1, largest)
        if not isinstance(e.get('name'), str) or kind not in TYPES or not isinstance(e.get('writable'), bool) \
                or size is None:
            raise SnapshotError([where + 'needs "name", "type" (u8..u64, i8..i64, text, bytes), "size" (1 to %d) '
                                 'and "writable"' % largest])
        if integer_width(kind) and size != integer_width(kind):
            raise SnapshotError([where + 'the size of a %s is %d' % (kind, integer_width(kind))])
        if (index, sub) in seen:
            raise SnapshotError([where + '%s is given twice' % entry_name(index, sub)])
        seen.add((index, sub))
        entries.append(DictEntry(index, sub, e['name'], kind, size, e['writable']))
    return entries


def show_value(kind, data):
    """The value as the snapshot writes it; None when the type cannot show the bytes."""
    width = integer_width(kind)
    if width:
        return str(int.from_bytes(data, 'little', signed=kind[0] == 'i')) if len(data) == width else None
    if kind == 'text':
        shown, nul, rest = data.partition(b'\0')
        if any(b < 0x20 or b > 0x7E for b in shown) or rest.strip(b'\0'):
            return None
        return shown.decode('ascii')
    if kind == 'bytes':
        return ' '.join('%02X' % b for b in data)
    return None


def parse_shown_value(kind, text, size):
    """A value as a user types it into the pages, as size bytes; KxrError with the reason."""
    trimmed = text.strip(BLANKS)
    width = integer_width(kind)
    if width:
        signed, negative = kind[0] == 'i', trimmed.startswith('-')
        digits = trimmed[1:] if negative else trimmed
        hexa = len(digits) > 2 and digits[0] == '0' and digits[1] in 'xX'
        body = digits[2:] if hexa else digits
        limit = ((1 << 8 * width) - 1) >> (1 if signed else 0)
        if not body or any(c not in ('0123456789abcdefABCDEF' if hexa else '0123456789') for c in body) or \
                (negative and not signed):
            raise KxrError('not a number (decimal, or hexadecimal with 0x)')
        magnitude = int(body, 16 if hexa else 10)
        if magnitude > limit + (1 if negative else 0):
            raise KxrError('out of range %s to %d' % ('-%d' % (limit + 1) if signed else '0', limit))
        return ((-magnitude if negative else magnitude) % (1 << 8 * size)).to_bytes(size, 'little')
    if kind == 'text':
        # Taken as it stands, blanks included: they are part of the name.
        if any(ord(c) < 0x20 or ord(c) > 0x7E for c in text):
            raise KxrError('only plain ASCII characters')
        if len(text) > size:
            raise KxrError('at most %d characters' % size)
        return text.encode('ascii').ljust(size, b'\0')
    if kind != 'bytes':
        raise KxrError('unknown type %s' % kind)
    wanted = 'exactly %d bytes wanted' % size
    data, given = b'', 0
    for token in re.split('[%s]+' % BLANKS, trimmed) if trimmed else ():
        if len(token) > 3 and token[2] == '*' and all(c in '0123456789' for c in token[3:]):
            byte = _decode_raw(token[:2])
            if byte is None:
                raise KxrError(PAIRS_WANTED)
            if len(token) - 3 > 9 or int(token[3:]) > size:
                raise KxrError(wanted)
            run = byte * int(token[3:])
        else:
            run = _decode_raw(token)
            if not run:
                raise KxrError(PAIRS_WANTED)
        given += len(run)
        if given <= size:
            data += run
    if given != size:
        raise KxrError('%s, %d given' % (wanted, given))
    return data


def taken_now():
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())


def snapshot_text(dictionary, outcomes, taken):
    """The file of the entries' read outcomes ((code, bytes), one per entry), laid out as kxr-cli and the pages
    write it: JSON.stringify's two-space layout and a newline."""
    def value_of(index, sub):
        for e, (code, data) in zip(dictionary, outcomes):
            if (e.index, e.sub) == (index, sub):
                return show_value(e.kind, data) if code == 0 else None
        return None
    identity = {}
    for sub, key in enumerate(('maker', 'product', 'revision', 'serial'), 1):
        if value_of(0x1018, sub) is not None:
            identity[key] = value_of(0x1018, sub)
    device = {'name': value_of(0x1008, 0), 'identity': identity}
    if any(code for code, data in outcomes):
        device['partial'] = True
    entries = []
    for e, (code, data) in zip(dictionary, outcomes):
        record = {'index': '0x%04X' % e.index, 'sub': '0x%02X' % e.sub, 'name': e.name, 'type': e.kind,
                  'size': e.size, 'writable': e.writable}
        if code == 0:
            if show_value(e.kind, data) is not None:
                record['value'] = show_value(e.kind, data)
            record['raw'] = binascii.hexlify(data).decode('ascii')
        else:
            record.update(code=code, codeHex='0x%08X' % code)
        entries.append(record)
    doc = {'format': FORMAT, 'version': VERSION, 'taken': taken, 'device': device, 'entries': entries}
    return json.dumps(doc, indent=2, ensure_ascii=False) + '\n'


class Record:
    """One record of a file being restored; entry: the device's dictionary entry, None when unknown to it."""

    def __init__(self, index, sub, name):
        self.index, self.sub, self.name = index, sub, name
        self.raw, self.code, self.entry = None, 0, None


def _read_record(e, n, by_address, seen):
    if not isinstance(e, dict) or _hex_field(e.get('index'), 4) is None or _hex_field(e.get('sub'), 2) is None:
        raise KxrError('record %d: "index" and "sub" are "0x" and 4 or 2 hex digits' % n)
    r = Record(_hex_field(e['index'], 4), _hex_field(e['sub'], 2), e.get('name') if isinstance(e.get('name'), str) else '')
    where = entry_name(r.index, r.sub) + ': '
    if (r.index, r.sub) in seen:
        raise KxrError(where + 'given twice')
    seen.add((r.index, r.sub))
    r.entry = by_address.get((r.index, r.sub))
    if 'code' in e:
        r.code = _integer_field(e, 'code', 0, 0xFFFFFFFF)
        if r.code is None:
            raise KxrError(where + '"code" is not an unsigned 32-bit number')
        return r
    r.raw = _decode_raw(e.get('raw'))
    if r.raw is None:
        raise KxrError(where + ('"raw" is not hex' if isinstance(e.get('raw'), str) else 'neither "raw" nor "code"'))
    d = r.entry
    if d is None:
        return r
    if e.get('type') != d.kind:
        raise KxrError(where + "type %s differs from the device's %s" % (
            e['type'] if isinstance(e.get('type'), str) else '(none)', d.kind))
    if _integer_field(e, 'size', 0, INT64_MAX) != d.size:
        raise KxrError(where + "size %s differs from the device's %d" % (
            json.dumps(e['size'], ensure_ascii=False) if 'size' in e else '(none)', d.size))
    if len(r.raw) != d.size:
        raise KxrError(where + '"raw" holds %d bytes, not %d' % (len(r.raw), d.size))
    if 'value' in e:
        if not isinstance(e['value'], str):
            raise KxrError(where + '"value" does not fit: not a string')
        try:
            data = parse_shown_value(d.kind, e['value'], d.size)
        except KxrError as why:
            raise KxrError(where + '"value" does not fit: %s' % why)
        if data != r.raw:
            given = json.dumps(e['value'], ensure_ascii=False)
            raise KxrError(where + '"value" %s differs from "raw" %s' % (given, e['raw']))
    return r


def parse_snapshot(text, dictionary):
    """The records of a snapshot checked against the device's dictionary; SnapshotError with every faulty
    record, or the one fault of the document as a whole."""
    doc = _parse_json(text)
    if not isinstance(doc, dict) or doc.get('format') != FORMAT:
        raise SnapshotError(['not a snapshot: "format" is not "%s"' % FORMAT])
    version = _integer_field(doc, 'version', 1, INT64_MAX)
    if version is None:
        raise SnapshotError(['"version" is not a whole number of 1 or more'])
    if version > VERSION:
        raise SnapshotError(['snapshot version %d is newer than this reader (%d)' % (version, VERSION)])
    if not isinstance(doc.get('entries'), list):
        raise SnapshotError(['"entries" is not a list'])
    by_address = dict(((e.index, e.sub), e) for e in dictionary)
    records, faults, seen = [], [], set()
    for n, e in enumerate(doc['entries'], 1):
        try:
            records.append(_read_record(e, n, by_address, seen))
        except KxrError as why:
            faults.append(str(why))
    if faults:
        raise SnapshotError(faults)
    return records


def plan_action(record, current):
    """What restore does with a record, given the device's (code, bytes) now."""
    if record.raw is None:
        return 'skipped'
    if record.entry is None:
        return 'unknown'
    if current[0] == 0 and current[1] == record.raw:
        return 'unchanged'
    return 'change' if record.entry.writable else 'read-only'


def shown(kind, data):
    """Bytes as the snapshot shows them, else as hex."""
    value = show_value(kind, data)
    return 'hex:' + binascii.hexlify(data).decode('ascii') if value is None else value


WRONG_LENGTH = kxr_codes.CODES['WrongLength']
