// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device client's connect and recv, steered by a test that links ClientCalls.cpp with
// -Wl,--wrap=connect,--wrap=recv. Only calls of the thread that armed them are touched (not a fake service's).
#pragma once

namespace KxrTest {
void RefuseConnects(int n);  // the next n connects fail with ECONNREFUSED; restarts the count of Connects
int Connects();              // connects since the last RefuseConnects, refused ones included
void InterruptRecvs(int n);  // the next n recvs fail with EINTR, as one interrupted by a signal
}  // namespace KxrTest
