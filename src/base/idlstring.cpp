#include "base/idlstring.hpp"
