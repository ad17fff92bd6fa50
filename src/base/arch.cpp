#include "base/arch.hpp"
