#include "base/set.hpp"
