// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device client's connect and recv, seen and steered by a test: a test executable links ClientCalls.cpp with
// -Wl,--wrap=connect,--wrap=recv. Only calls made on the thread that armed them are touched, so a fake service on
// its own thread is left alone.
#pragma once

namespace KxrTest {

// The next n connects of this thread fail with ECONNREFUSED without reaching the kernel, as against a service
// that is not listening; also restarts the count of Connects.
void RefuseConnects(int n);
// Connects of this thread since the last RefuseConnects, refused ones included.
int Connects();
// The next n recvs of this thread fail with EINTR, as one interrupted by a signal.
void InterruptRecvs(int n);

}  // namespace KxrTest
