#include "base/base.hpp"
