#include "base/hashset.hpp"
