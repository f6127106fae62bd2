// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The pid file: claimed and locked at start, written after the fork, removed
// at the end, through the pid-file functions of libutil.
#pragma once

#if defined(__linux__)
#include <bsd/libutil.h>
#else
#include <sys/param.h>
#include <libutil.h>
#endif

namespace Platform {

// The held pid file; null when none could be claimed.
extern struct pidfh* pfh;

// Claims and locks the pid file; false when another instance holds it.
bool OpenPidFile();
// Writes the current pid into the held pid file.
void WritePidFile();
// Removes the held pid file.
void DeletePidFile();

}  // namespace Platform
