#include "verbose.h"

namespace KXRWebservice {

bool v = false;

}  // namespace KXRWebservice
