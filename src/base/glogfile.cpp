#include "base/glogfile.hpp"
