// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The simulator's dictionary file: the device pages' dictionary.json, whose
// entries also carry the initial value the simulator starts with. One file
// serves both, so that the pages never list an entry the simulator lacks.
#pragma once

#include <string>

#include "ServiceSim.h"

namespace KxrSim {

// Adds the entries and object names of a dictionary file to dict; false and
// why ("PATH:LINE: reason" for bad JSON, "PATH: entry N: reason" for an entry)
// at the first fault, which may leave dict partly filled.
bool LoadDictionaryFile(const std::string& path, Dictionary& dict, std::string& why);

}  // namespace KxrSim
