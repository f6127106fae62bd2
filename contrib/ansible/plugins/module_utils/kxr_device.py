# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# A device's web service as kxr-cli sees it: entry arguments and values typed
# by kxr-cli's rules and worded in its errors, the ReadWrite call over the
# site's HTTPS with HTTP Basic, and many entries in as few calls as the
# daemon's limits allow.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import base64
import binascii
import os
import socket
import ssl
import struct

from ansible.module_utils.basic import env_fallback
from ansible.module_utils.six.moves.urllib.error import HTTPError, URLError
from ansible.module_utils.six.moves.urllib.parse import urlsplit
from ansible.module_utils.urls import ConnectionError as UrlsConnectionError, open_url

from ansible_collections.kxr.device.plugins.module_utils import kxr_codes

SERVICE_PATH = '/KxrWebService/KxrWebService.dll'
SUM_UP_READ, SUM_UP_WRITE = 0xF080, 0xF081
MAX_SUB_REQUESTS = 300
MAX_ENTRY_LENGTH = 0x100000  # largest cbRdLen, and largest entry
BODY_LIMIT = 1048576         # largest request body the daemon takes
HEADER_SIZE, READ_RECORD_SIZE, WRITE_RECORD_SIZE = 12, 8, 4
DEFAULT_READ_LENGTH = 1024   # a read without LENGTH, as kxr-cli asks

CONNECTION_ARGS = dict(
    url=dict(type='str', required=True),
    user=dict(type='str', required=True),
    password=dict(type='str', required=True, no_log=True, fallback=(env_fallback, ['KXR_PASSWORD'])),
    validate_certs=dict(type='bool', default=True),
    ca_path=dict(type='path'),
    timeout=dict(type='int', default=200),
)


class KxrError(Exception):
    """A fault worded for the task's failure message. status: the HTTP status that caused it, if any;
    refused: the call was turned down as a whole (a fault, or an HTTP status that nothing lies behind)."""

    def __init__(self, message, status=None, refused=False):
        super(KxrError, self).__init__(message)
        self.status, self.refused = status, refused or status in (303, 401, 403, 421, 429)


def code_meaning(code):
    text = kxr_codes.TEXTS.get(code)
    if text is not None:
        return text
    if code & 0xFFFF0000 == kxr_codes.ERRNO_BASE:
        return 'System error %d (%s)' % (code & 0xFFFF, os.strerror(code & 0xFFFF))
    return kxr_codes.UNKNOWN_TEXT


def code_text(code):
    return '0x%08X %s' % (code, code_meaning(code))


def entry_name(index, sub):
    return '0x%04X:0x%02X' % (index, sub)


def integer_width(kind):
    return {'8': 1, '16': 2, '32': 4, '64': 8}.get(kind[1:], 0) if kind[:1] in ('u', 'i') else 0


def _hex_digit(c):
    return '0123456789abcdef'.find(c.lower()) if c.isascii() and c else -1


# kxr-cli's command-line rules (CliArgs), message for message.

def parse_number(text, most):
    """A number no larger than most: decimal, or hex with 0x."""
    hexa = len(text) > 2 and text[0] == '0' and text[1] in 'xX'
    digits = text[2:] if hexa else text
    if not digits:
        raise KxrError('missing number')
    base, result = (16 if hexa else 10), 0
    for c in digits:
        digit = _hex_digit(c)
        if digit < 0 or (not hexa and digit > 9):
            if not hexa and digit > 9:
                raise KxrError("'%s' has hex digits: write hex with 0x, as in 0x%s" % (text, text))
            raise KxrError("not a number: '%s'" % text)
        if digit > most or result > (most - digit) // base:
            raise KxrError("'%s' is larger than %d" % (text, most))
        result = result * base + digit
    if not hexa and len(digits) > 1 and digits[0] == '0':
        raise KxrError("'%s' is ambiguous: write 0x%s for hex or leave out the leading zero for decimal" % (text, digits))
    return result


def _parse_signed(text, most):
    if text.startswith('-'):
        return -parse_number(text[1:], most + 1)
    return parse_number(text, most)


def parse_hex_bytes(text):
    digits = ''
    for c in text:
        if c in ' :-':
            if len(digits) % 2:
                raise KxrError('hex bytes must be pairs of digits')
            continue
        if _hex_digit(c) < 0:
            raise KxrError("not a hex digit: '%s'" % c)
        digits += c
    if len(digits) % 2:
        raise KxrError('hex bytes must be pairs of digits')
    return binascii.unhexlify(digits)


def parse_value(text):
    """VALUE: hex:BYTES, text:TEXT, u8..u64:N or i8..i64:N, as bytes."""
    kind, colon, rest = text.partition(':')
    if not colon:
        raise KxrError("'%s' has no type: write hex:BYTES, text:TEXT or u8/u16/u32/u64/i8/i16/i32/i64:NUMBER" % text)
    if kind == 'hex':
        return parse_hex_bytes(rest)
    if kind == 'text':
        return rest.encode('utf-8')
    width = integer_width(kind)
    if not width:
        raise KxrError("unknown value type '%s'" % kind)
    if kind[0] == 'u':
        return parse_number(rest, (1 << 8 * width) - 1).to_bytes(width, 'little')
    return _parse_signed(rest, (1 << 8 * width - 1) - 1).to_bytes(width, 'little', signed=True)


class Entry:
    """One entry of a call: what is read (length, type) or written (data)."""

    def __init__(self, index, sub, length=DEFAULT_READ_LENGTH, kind='', data=None):
        self.index, self.sub, self.length, self.kind, self.data = index, sub, length, kind, data

    @property
    def name(self):
        return entry_name(self.index, self.sub)


def _parse_address(text):
    parts = text.split(':')
    if len(parts) != 2:
        raise KxrError('expected INDEX:SUB')
    try:
        index = parse_number(parts[0], 0xFFFF)
    except KxrError as e:
        raise KxrError('index: %s' % e)
    try:
        return index, parse_number(parts[1], 0xFF)
    except KxrError as e:
        raise KxrError('sub-index: %s' % e)


def parse_read_arg(text):
    """INDEX:SUB[:LENGTH][:TYPE], as kxr-cli read takes it."""
    try:
        address, kind, last = text, '', text.rfind(':')
        # A last part that starts with a letter and is not all hex digits is a TYPE.
        if last >= 0 and last + 1 < len(text) and text[last + 1].isascii() and text[last + 1].isalpha() and \
                any(_hex_digit(c) < 0 for c in text[last + 1:]) and text.find(':') != last:
            kind, address = text[last + 1:], text[:last]
            if kind != 'text' and not integer_width(kind):
                raise KxrError("unknown type '%s': u8/u16/u32/u64, i8/i16/i32/i64 or text" % kind)
        second = address.find(':', address.find(':') + 1)
        has_length = ':' in address and second >= 0
        index, sub = _parse_address(address[:second] if has_length else address)
        length = integer_width(kind) or DEFAULT_READ_LENGTH
        if has_length:
            try:
                length = parse_number(address[second + 1:], MAX_ENTRY_LENGTH)
            except KxrError as e:
                raise KxrError('length: %s' % e)
            if length == 0:
                raise KxrError('length: must be at least 1')
        return Entry(index, sub, length, kind)
    except KxrError as e:
        raise KxrError("'%s': %s" % (text, e))


def parse_write_arg(text):
    """INDEX:SUB=VALUE, as kxr-cli write takes it."""
    try:
        address, equals, value = text.partition('=')
        if not equals:
            raise KxrError('expected INDEX:SUB=VALUE')
        index, sub = _parse_address(address)
        try:
            data = parse_value(value)
        except KxrError as e:
            raise KxrError('value: %s' % e)
        if not data:
            raise KxrError('value: no bytes to write')
        if len(data) > MAX_ENTRY_LENGTH:
            raise KxrError('value: longer than %d bytes' % MAX_ENTRY_LENGTH)
        return Entry(index, sub, len(data), '', data)
    except KxrError as e:
        raise KxrError("'%s': %s" % (text, e))


def typed_value(kind, data):
    """A read's value for its TYPE, as kxr-cli --json gives it; None when there is none."""
    if kind == 'text':
        try:
            return data.rstrip(b'\0').decode('utf-8')
        except UnicodeDecodeError:
            return None
    width = integer_width(kind)
    if not width or len(data) != width:
        return None
    return int.from_bytes(data, 'little', signed=kind[0] == 'i')


def entry_line(name, code, data=b''):
    """An entry's line of kxr-cli's report: the code with its meaning, and the bytes read."""
    line = '%s  %s' % (name, code_text(code))
    if data:
        line += '  %d %s: %s' % (len(data), 'byte' if len(data) == 1 else 'bytes', ' '.join('%02x' % b for b in data))
    return line


# The call.

def _envelope(write, count, read_length, pwr_data):
    return ('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">'
            '<SOAP-ENV:Body><u:ReadWrite xmlns:u="urn:KxrWebService"><netId></netId><nPort>0</nPort><indexGroup>%d'
            '</indexGroup><indexOffset>%d</indexOffset><cbRdLen>%d</cbRdLen><pwrData>%s</pwrData></u:ReadWrite>'
            '</SOAP-ENV:Body></SOAP-ENV:Envelope>' % (SUM_UP_WRITE if write else SUM_UP_READ, count, read_length, pwr_data))


def _fits(write, load, entry):
    count, area, buffer = load
    grown = (count + 1, area + (WRITE_RECORD_SIZE if write else READ_RECORD_SIZE + entry.length),
             buffer + HEADER_SIZE + (len(entry.data) if write else 0))
    size = len(_envelope(write, grown[0], grown[1], '')) + 4 * ((grown[2] + 2) // 3)
    fits = grown[0] <= MAX_SUB_REQUESTS and grown[1] <= MAX_ENTRY_LENGTH and size <= BODY_LIMIT
    return grown if fits else None


def split_batches(write, entries):
    """The entries' positions in batches within the limits, as kxr-cli packs them: the largest first, each
    into the first batch with room; the batches in the entries' order."""
    order = sorted(range(len(entries)), key=lambda i: -(len(entries[i].data) if write else entries[i].length))
    loads, batches = [], []
    for i in order:
        for b, load in enumerate(loads):
            grown = _fits(write, load, entries[i])
            if grown:
                break
        else:
            grown, b = _fits(write, (0, 0, 0), entries[i]), len(loads)
            if not grown:
                raise KxrError('%s is too large for one call' % entry_name(entries[i].index, entries[i].sub))
            loads.append(None)
            batches.append([])
        loads[b] = grown
        batches[b].append(i)
    return sorted(sorted(batch) for batch in batches)


def _element_text(document, name):
    """The text of the first element <name ...>, as kxr-cli finds it; None when there is none."""
    at = document.find('<' + name)
    while at >= 0 and document[at + 1 + len(name):at + 2 + len(name)] not in ('>', ' ', '/'):
        at = document.find('<' + name, at + 1 + len(name))
    end = document.find('>', at) if at >= 0 else -1
    if end < 0:
        return None
    if document[end - 1] == '/':
        return ''
    close = document.find('</%s>' % name, end)
    return document[end + 1:close] if close >= 0 else None


def _split_result(write, count, result):
    size = WRITE_RECORD_SIZE if write else READ_RECORD_SIZE
    if len(result) < size * count or (write and len(result) != size * count):
        raise KxrError('the result holds %d bytes for %d entries' % (len(result), count))
    if write:
        return [(code, b'') for code in struct.unpack_from('<%dI' % count, result)]
    outcomes, offset = [], size * count
    for i in range(count):
        code, length = struct.unpack_from('<II', result, size * i)
        if length > len(result) - offset:
            raise KxrError("the result's data is shorter than its records say")
        outcomes.append((code, result[offset:offset + length]))
        offset += length
    if offset != len(result):
        raise KxrError("the result's data is longer than its records say")
    return outcomes


class Device:
    """One device's site: calls signed in with HTTP Basic over verified HTTPS."""

    def __init__(self, params):
        url = params['url']
        parts = urlsplit(url)
        if parts.scheme != 'https' or not parts.hostname or parts.query or parts.fragment:
            raise KxrError("url: not of the form https://HOST[:PORT][/PATH]: '%s'" % url)
        self.user, self.password = params['user'], params['password']
        self.validate_certs, self.ca_path, self.timeout = params['validate_certs'], params['ca_path'], params['timeout']
        self.host = parts.hostname
        try:
            port = parts.port or 443
        except ValueError:
            raise KxrError("url: not of the form https://HOST[:PORT][/PATH]: '%s'" % url)
        self.peer = '%s:%d' % ('[%s]' % self.host if ':' in self.host else self.host, port)
        path = parts.path
        if SERVICE_PATH in path:
            self.target, self.base = path, path[:path.find(SERVICE_PATH)].rstrip('/')
        else:
            self.base = path.rstrip('/')
            self.target = self.base + SERVICE_PATH
        self.origin = 'https://' + parts.netloc.rpartition('@')[2]
        self.calls = 0

    def _request(self, target, document=None):
        """The body of a 200 answer; anything else raises KxrError worded as kxr-cli words it."""
        try:
            answer = open_url(self.origin + target, data=document, method='POST' if document else 'GET',
                              headers={'Content-Type': 'text/xml; charset=utf-8'} if document else {},
                              url_username=self.user, url_password=self.password, force_basic_auth=True,
                              validate_certs=self.validate_certs, ca_path=self.ca_path, timeout=self.timeout,
                              follow_redirects='none', http_agent='kxr.device', use_netrc=False)
            return answer.read()
        except HTTPError as e:
            raise KxrError(self._http_failure(target, e), e.code)
        except (socket.timeout, TimeoutError):
            raise KxrError('no answer from %s within %d s' % (self.peer, self.timeout))
        except (URLError, ssl.SSLError, OSError) as e:
            reason = getattr(e, 'reason', e)
            if isinstance(reason, ssl.SSLCertVerificationError):
                why = reason.verify_message or str(reason)
                if 'Hostname mismatch' in why or "IP address mismatch" in why:
                    why = 'the certificate is not for %s' % self.host
                raise KxrError('TLS with %s failed: certificate refused: %s' % (self.peer, why))
            if isinstance(reason, (socket.timeout, TimeoutError)):
                raise KxrError('no answer from %s within %d s' % (self.peer, self.timeout))
            if isinstance(reason, ssl.SSLError):
                raise KxrError('TLS with %s failed: %s' % (self.peer, reason))
            raise KxrError('cannot connect to %s: %s' % (self.peer, getattr(reason, 'strerror', None) or reason))
        except UrlsConnectionError as e:
            raise KxrError('cannot connect to %s: %s' % (self.peer, e))

    def _http_failure(self, target, e):
        location = e.headers.get('Location') if e.headers else None
        # A file asked for without a valid caller is sent to the sign-in page; the call gets 401.
        if e.code == 401 or (e.code == 303 and (location or '').endswith('/signin.htm')):
            return 'sign-in refused by %s: wrong user name or password for %s, or a user without a role' % (
                self.peer, self.user)
        message = 'HTTP status %d%s from %s %s' % (e.code, ' %s' % e.reason if e.reason else '', self.peer, target)
        hints = {403: 'the front web server refuses this request',
                 421: 'the server does not serve the host name %s; use the one its certificate names' % self.host,
                 429: 'too many requests or sign-ins; wait and try again',
                 502: 'the daemon behind the front web server is not reachable now; try again later',
                 503: 'the daemon behind the front web server is not reachable now; try again later',
                 504: "the daemon did not answer within the front web server's wait"}
        if e.code // 100 == 3 and location:
            return message + ': it redirects to %s; give that URL as url' % location
        return message + (': ' + hints[e.code] if e.code in hints else '')

    def get(self, path):
        return self._request(self.base + path)

    def call(self, write, entries):
        """One call: (code, bytes) for each entry; a fault or no usable answer raises KxrError."""
        buffer = b''.join(struct.pack('<IBBHI', 0, e.sub, 0, e.index, e.length) for e in entries)
        if write:
            buffer += b''.join(e.data for e in entries)
        area = WRITE_RECORD_SIZE * len(entries) if write else \
            min(MAX_ENTRY_LENGTH, sum(READ_RECORD_SIZE + e.length for e in entries))
        document = _envelope(write, len(entries), area, base64.b64encode(buffer).decode('ascii'))
        self.calls += 1
        body = self._request(self.target, document.encode('ascii')).decode('utf-8', 'replace')
        data = _element_text(body, 'ppRdData')
        if data is not None:
            try:
                result = base64.b64decode(data, validate=True)
            except (binascii.Error, ValueError):
                raise KxrError('unexpected answer: ppRdData is not Base64')
            try:
                return _split_result(write, len(entries), result)
            except KxrError as e:
                raise KxrError('unexpected answer: %s' % e)
        fault = _element_text(body, 'faultcode')
        if fault is None:
            raise KxrError('unexpected answer: neither a ReadWriteResponse nor a Fault')
        try:
            code = int(fault, 10) & 0xFFFFFFFF
            if not -0x80000000 <= int(fault, 10) <= 0x7FFFFFFF:
                raise ValueError
        except ValueError:
            raise KxrError("unexpected answer: faultcode '%s' is not a number" % fault)
        raise KxrError(self._fault_text(code, _element_text(body, 'faultstring') or ''), refused=True)

    def _fault_text(self, code, fault_string):
        signed = code - (1 << 32) if code & 0x80000000 else code
        message = 'the call failed: fault 0x%08X (%d): %s' % (code, signed, fault_string)
        meaning = code_meaning(code)
        if meaning not in (fault_string, kxr_codes.UNKNOWN_TEXT):
            message += ' (%s)' % meaning
        if code == kxr_codes.CODES['AccessDenied']:
            message = ('access denied: the user %s may not make this call (a viewer may only read, a user without '
                       'a role nothing); %s' % (self.user, message))
        return message

    def run(self, write, entries):
        """Every entry in as few calls as the limits allow: (code, bytes) in the entries' order."""
        outcomes = [None] * len(entries)
        for batch in split_batches(write, entries):
            for i, outcome in zip(batch, self.call(write, [entries[i] for i in batch])):
                outcomes[i] = outcome
        return outcomes

    def read_sized(self, entries):
        """Reads entries of known size; fewer bytes than the size count as failed (WrongLength)."""
        return [(kxr_codes.CODES['WrongLength'], b'') if code == 0 and len(data) < e.length else (code, data)
                for e, (code, data) in zip(entries, self.run(False, entries))]
