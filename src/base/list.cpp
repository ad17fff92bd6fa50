#include "base/list.hpp"
