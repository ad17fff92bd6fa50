#include "base/map.hpp"
