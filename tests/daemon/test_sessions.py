# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# A session's life in the tests' daemon (3 s idle, 8 s in all): its cookie, its ends, a changed password, the bound
# on one user's sessions; and what a caller without a session is served.
import re, subprocess, time
import pytest
from conftest import EP, WWW, exchange, get, parse, post, sign_in

USERS = {"otto": ("op pass", "operator"), "vera": ("view pass", "viewer")}
COOKIE = "; Secure; HttpOnly; SameSite=Strict; Path=/"


@pytest.fixture
def short(st):
    st.set_users(USERS)
    st.put("index.htm", "<p>pages</p>"), st.put("signin.htm", "<form>"), st.put("signin.js", "//"), st.put("kxr.css", "p{}")
    assert st.start_daemon(short=True).ready


def session(cookie, uid=WWW): return parse(exchange(get("/kxr-session.json").replace(b"\r\n\r\n", f"\r\n{cookie}\r\n".encode()), uid=uid))


def audit(st): return [r[4] for r in st.syslog.lines() if r[4].startswith("audit: session")]


def test_cookie_and_document(short):
    answer = parse(exchange(post("/config/kxr-signin", b"user=vera&password=view+pass", "application/x-www-form-urlencoded"), uid=WWW))
    assert re.fullmatch("__Host-kxr-session=[0-9a-f]{64}" + re.escape(COOKIE), answer[1]["set-cookie"])
    assert (answer[0], answer[2]) == (200, b'{"user":"vera","role":"viewer","secondsLeft":3}')
    out = parse(exchange(post("/kxr-signout", b""), uid=WWW))
    assert (out[0], out[1]["set-cookie"]) == (200, "__Host-kxr-session=" + COOKIE + "; Max-Age=0")
    assert parse(exchange(post("/kxr-signin", b"user=vera&password=view", "application/x-www-form-urlencoded"), uid=WWW))[:3:2] == (403, b"Sign-in refused\r\n")


def test_idle_and_absolute_ends(st, short):
    kept, idle = sign_in("otto", "op+pass"), sign_in("vera", "view+pass")
    for _ in range(6):  # a request a second keeps one alive until its 8 s are up
        time.sleep(1)
        assert session(kept)[0] == 200
    assert session(idle)[0] == 401
    time.sleep(2.2)
    assert session(kept)[0] == 401
    assert audit(st) == ["audit: session ended user=vera role=viewer reason=idle", "audit: session ended user=otto role=operator reason=limit"]


def test_a_changed_password_ends_that_users_sessions_within_a_second(st, short):
    otto, vera = sign_in("otto", "op+pass"), sign_in("vera", "view+pass")
    subprocess.run(["htpasswd", "-i", "-B", "-C", "5", st.s["users_file"], "otto"], input=b"new pass", check=True)
    time.sleep(1.05)
    assert (session(otto)[0], session(vera)[0]) == (401, 200)
    assert session(sign_in("otto", "new+pass"))[0] == 200
    assert audit(st) == ["audit: session ended user=otto role=operator reason=user-changed"]


def test_one_users_sessions_are_bounded(st, short):
    cookies = [sign_in("otto", "op+pass") for _ in range(9)]
    assert [session(c)[0] for c in cookies] == [401] + [200] * 8
    assert audit(st) == ["audit: session ended user=otto role=operator reason=evicted"]


@pytest.mark.parametrize("target, status, location", [
    ("/signin.htm", 200, None), ("/config/signin.htm?next=1", 200, None), ("/signin.js", 200, None), ("/kxr.css", 200, None),
    ("/", 303, "/signin.htm"), ("/config/index.htm", 303, "/config/signin.htm"), ("/signin.htm.bak", 303, "/signin.htm"),
    ("/kxr-session.json", 401, None), ("/kxr-signout", 303, "/signin.htm"),  # sign-out is a POST
])
def test_only_the_sign_in_page_is_served_without_a_session(short, target, status, location):
    answer = parse(exchange(get(target), uid=WWW))
    assert (answer[0], answer[1].get("location")) == (status, location)
    assert (answer[1].get("www-authenticate") == 'Basic realm="KXRWebServer"') == (status == 401)
    assert parse(exchange(post(EP, b"<x/>"), uid=WWW))[0] == 401
