// Runs one call through a fresh engine, as the endpoint does.
#pragma once

#include <string>

#include "Kxr.h"

// Executes a call of the given parameters; the engine's result code.
inline int Execute(int group, int count, int cbRdLen, const std::string& pwrData, std::string& result) {
  _KXR_Parameters p;
  p.indexGroup = group;
  p.indexOffset = count;
  p.cbRdLen = cbRdLen;
  p.pwrData = pwrData;
  CKxr engine(p);
  return engine.Execute(result);
}
